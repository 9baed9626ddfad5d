// Naming one device with a library instance in this process: a registry group that cannot be written
// is reported and skipped, the other groups and the endpoints still get the name.
#include "HostProcess.h"
#include "LogCapture.h"

#include "ApiOverride.h"
#include "platform/SystemApi.h"
#include "processing/DeviceNaming.h"
#include "processing/ProcessingInstance.h"
#include "simulation/DeviceControl.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

#include <io.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace
{

constexpr GUID kDeviceDescription = {
    0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};

decltype(&::RegCreateKeyExW) g_realCreate = nullptr;
int g_waveRenderCreations = 0;

// The first wave render pin key of a naming (group 1's) cannot be created; group 3's can.
LSTATUS WINAPI CreateFailingFirstWaveRender(HKEY parent, LPCWSTR subkey, DWORD reserved, LPWSTR keyClass,
                                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                            PHKEY result, LPDWORD disposition)
{
    if (subkey != nullptr && std::wstring(subkey) == L"#WaveRender\\Device Parameters" &&
        g_waveRenderCreations++ == 0)
    {
        return ERROR_ACCESS_DENIED;
    }
    return g_realCreate(parent, subkey, reserved, keyClass, options, access, security, result, disposition);
}

std::optional<std::wstring> PinName(const std::wstring& key, DWORD* bytes = nullptr)
{
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FriendlyName", RRF_RT_REG_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    if (bytes != nullptr)
    {
        *bytes = size;
    }
    return std::wstring(buffer);
}

// Standard error of this process into a file for the duration.
class CStandardErrorCapture
{
public:
    CStandardErrorCapture() : m_file(std::filesystem::temp_directory_path() / L"orvane-naming-stderr.txt")
    {
        std::fflush(stderr);
        m_saved = _dup(2);
        FILE* file = _wfopen(m_file.c_str(), L"w");
        _dup2(_fileno(file), 2);
        std::fclose(file);
    }
    ~CStandardErrorCapture() { Restore(); }
    std::string Text()
    {
        Restore();
        std::ifstream in(m_file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    void Restore()
    {
        if (m_saved != -1)
        {
            std::fflush(stderr);
            _dup2(m_saved, 2);
            _close(m_saved);
            m_saved = -1;
        }
    }
    std::filesystem::path m_file;
    int m_saved = -1;
};

TEST(DeviceNaming, AGroupThatCannotBeWrittenIsReportedAndTheOthersStillGetTheName)
{
    simulation::ResetWorld();
    const std::wstring device = simulation::AddDevice();
    std::wstring id = device;
    for (wchar_t& c : id)
    {
        c = c == L'\\' ? L'#' : c;
    }
    const std::wstring link = L"\\\\?\\" + id + L"#{19e108d8-935a-460c-9f52-cdc7c63292e1}";
    const std::wstring classes = L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";
    const std::wstring group1 = classes + L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\##?#" + id +
                                L"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\";
    const std::wstring group2 = classes + L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\##?#" + id +
                                L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\";
    const std::wstring group3 = classes + L"{65E8773E-8F56-11D0-A3B9-00A0C9223196}\\##?#" + id +
                                L"#{65E8773E-8F56-11D0-A3B9-00A0C9223196}\\";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}").c_str());
    CLogCapture::Fresh();

    velmar::helper::CDynLoader loader;
    ASSERT_TRUE(loader.load((hosttest::BinDirectory() / L"velmar.orvane.cl.dll").wstring()));
    const std::filesystem::path storage = std::filesystem::temp_directory_path() / L"orvane-naming";
    std::filesystem::create_directories(storage);
    CProcessingInstance instance(&loader, L"Desk");
    ASSERT_TRUE(
        instance.Init("ORVANE.CL.drv", "1", "naming", "Desk", storage, loader.GetChunkSizeInFrames()));
    {
        g_realCreate = platform::Api().RegCreateKeyExW;
        g_waveRenderCreations = 0;
        CApiOverride<decltype(&::RegCreateKeyExW)> failing(platform::Api().RegCreateKeyExW,
                                                           &CreateFailingFirstWaveRender);
        CStandardErrorCapture errors;
        NameDevice(link, instance, L"Studio \"A\"");
        EXPECT_EQ(errors.Text(),
                  "Failed to set KS pin name in registry key for Studio \"A\": Cannot open from "
                  "registry.\n")
            << "the line names the instance and the registry error";
    }
    // Group 1 stopped at the pin it could not create; groups 2 and 3 and both endpoints have the name.
    EXPECT_EQ(PinName(group1 + L"#WaveCapture\\Device Parameters"),
              std::optional<std::wstring>(L"Studio \"A\""));
    EXPECT_EQ(PinName(group1 + L"#TopologyCapture\\Device Parameters"), std::nullopt);
    EXPECT_EQ(PinName(group2 + L"#WaveCapture\\Device Parameters"),
              std::optional<std::wstring>(L"Studio \"A\""));
    EXPECT_EQ(PinName(group3 + L"#WaveRender\\Device Parameters"),
              std::optional<std::wstring>(L"Studio \"A\""));
    const auto record = simulation::store::Find(device);
    ASSERT_TRUE(record.has_value());
    for (const std::wstring& endpoint : {record->captureEndpoint, record->renderEndpoint})
    {
        EXPECT_EQ(simulation::EndpointStringProperty(endpoint, kDeviceDescription, 2),
                  std::optional<std::wstring>(L"Studio \"A\""));
    }

    // Without a failure every pin is written; the topology pins as mixers; an empty name is 0 bytes.
    NameDevice(link, instance, L"Desk");
    EXPECT_EQ(PinName(group1 + L"#TopologyRender\\Device Parameters"),
              std::optional<std::wstring>(L"Desk mixer"));
    EXPECT_EQ(PinName(group1 + L"#WaveRender\\Device Parameters"), std::optional<std::wstring>(L"Desk"));
    NameDevice(link, instance, L"");
    DWORD bytes = 99;
    EXPECT_EQ(PinName(group3 + L"#WaveRender\\Device Parameters", &bytes), std::optional<std::wstring>(L""));
    DWORD type = 0;
    DWORD stored = 99;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, (group3 + L"#WaveRender\\Device Parameters").c_str(),
                           L"FriendlyName", RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &stored),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_LE(stored, 2u) << "no characters (Wine may add the terminator itself)";
    instance.Shutdown();
}

} // namespace
