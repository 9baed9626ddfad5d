#include "processing/DeviceNaming.h"

#include "config/InstanceId.h"
#include "config/Registry.h"
#include "driver/DeviceChildren.h"
#include "driver/InterfaceClass.h"
#include "driver/EndpointProperty.h"
#include "platform/ConsoleText.h"
#include "platform/TextConversion.h"
#include "processing/JsonText.h"
#include "processing/ProcessingInstance.h"

#include <cstdio>
#include <vector>

namespace
{

// Key names are formed into a buffer of 256 characters; a longer result is cut to fit.
constexpr std::size_t kKeyNameCapacity = 256;

struct PinName
{
    const wchar_t* subkey;
    bool mixer; // topology pins carry the name followed by " mixer"
};

struct PinGroup
{
    const wchar_t* keyFormat; // one %s: the instance id
    std::vector<PinName> pins;
};

const PinGroup kPinGroups[] = {
    {L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\##?#%s#"
     L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}",
     {{L"#WaveCapture\\Device Parameters", false},
      {L"#WaveRender\\Device Parameters", false},
      {L"#TopologyCapture\\Device Parameters", true},
      {L"#TopologyRender\\Device Parameters", true}}},
    {L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\##?#%s#"
     L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}",
     {{L"#WaveCapture\\Device Parameters", false}}},
    {L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{65E8773E-8F56-11D0-A3B9-00A0C9223196}\\##?#%s#"
     L"{65E8773E-8F56-11D0-A3B9-00A0C9223196}",
     {{L"#WaveRender\\Device Parameters", false}}},
};

std::wstring GroupKeyName(const wchar_t* format, const std::wstring& instanceId)
{
    std::wstring name;
    for (const wchar_t* c = format; *c != L'\0'; ++c)
    {
        if (c[0] == L'%' && c[1] == L's')
        {
            name += instanceId;
            ++c;
        }
        else
        {
            name += *c;
        }
    }
    if (name.size() >= kKeyNameCapacity)
    {
        name.resize(kKeyNameCapacity - 1);
    }
    return name;
}

void WritePinGroup(const PinGroup& group, const std::wstring& instanceId, const std::wstring& name)
{
    const CRegistry key = CRegistry::Create(HKEY_LOCAL_MACHINE, GroupKeyName(group.keyFormat, instanceId));
    for (const PinName& pin : group.pins)
    {
        const CRegistry subkey = CRegistry::Create(key, pin.subkey);
        subkey.WriteString(L"FriendlyName", pin.mixer ? name + L" mixer" : name);
    }
}

} // namespace

std::string ProcessorNameRequest(const std::wstring& name)
{
    return R"({ "set": { "processorname":")" + JsonEscape(WideToUtf8(name)) + R"("}})";
}

void NameDevice(const std::wstring& interfacePath, const CProcessingInstance& instance,
                const std::wstring& name)
{
    velmar::CInstance::CClient::Create(instance)->Send(ProcessorNameRequest(name));

    for (const std::wstring& child : GetDeviceChildren(interfacePath, driver::kInterfaceClass))
    {
        SetEndpointStringProperty(child, kDeviceDescriptionKey, name.c_str());
    }

    const std::wstring instanceId = InstanceIdFromPath(interfacePath);
    for (const PinGroup& group : kPinGroups)
    {
        try
        {
            WritePinGroup(group, instanceId, name);
        }
        catch (const RegistryError& error)
        {
            const std::wstring text = *error.what() != '\0' ? Utf8ToWide(error.what()) : L"Unknown exception";
            platform::WriteStandardText(STD_ERROR_HANDLE, L"Failed to set KS pin name in registry key for " +
                                                              name + L": " + text + L"\n");
        }
    }
}
