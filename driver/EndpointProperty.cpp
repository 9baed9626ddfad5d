#include "driver/EndpointProperty.h"

#include "diagnostics/Log.h"
#include "driver/ComRef.h"
#include "driver/Devices.h"
#include "driver/LinkText.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/UniqueHandle.h"

#include <cstring>
#include <cwchar>

#include <mmdeviceapi.h>

namespace
{

// A VT_LPWSTR value owning its task-allocated copy; cleared however the write ends.
class CStringValue
{
public:
    CStringValue() { PropVariantInit(&m_value); }
    ~CStringValue() { platform::Api().PropVariantClear(&m_value); }
    CStringValue(const CStringValue&) = delete;
    CStringValue& operator=(const CStringValue&) = delete;

    bool Assign(const wchar_t* text)
    {
        if (text == nullptr)
        {
            return false;
        }
        const std::size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
        auto* copy = static_cast<wchar_t*>(platform::Api().CoTaskMemAlloc(bytes));
        if (copy == nullptr)
        {
            return false;
        }
        std::memcpy(copy, text, bytes);
        m_value.vt = VT_LPWSTR;
        m_value.pwszVal = copy;
        return true;
    }
    const PROPVARIANT& Get() const noexcept { return m_value; }

private:
    PROPVARIANT m_value;
};

} // namespace

namespace
{

// {78C34FC8-104A-4ACA-9EA4-524D52996E57}, 256: the device instance id of the endpoint itself.
constexpr PROPERTYKEY kDeviceInstanceIdKey{
    {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};

// Whether the endpoint's own device instance id names the wanted device (letter case aside). Endpoint
// ids are opaque: only this property says which device an endpoint is.
bool IsEndpointOf(IMMDevice& endpoint, const std::wstring& deviceInstanceId)
{
    const auto own = EndpointDeviceInstanceId(endpoint);
    return own && driver::SameLinkText(*own, deviceInstanceId);
}

} // namespace

std::optional<std::wstring> EndpointDeviceInstanceId(IMMDevice& endpoint)
{
    driver::CComRef<IPropertyStore> store;
    if (FAILED(endpoint.OpenPropertyStore(STGM_READ, store.Put())) || !store)
    {
        VLOG(velmar::LogSeverity::Error) << L"OpenPropertyStore failed";
        return std::nullopt;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    if (FAILED(store->GetValue(kDeviceInstanceIdKey, &value)))
    {
        return std::nullopt;
    }
    std::optional<std::wstring> id;
    if (value.vt == VT_LPWSTR && value.pwszVal != nullptr)
    {
        id.emplace(value.pwszVal);
    }
    platform::Api().PropVariantClear(&value);
    return id;
}

bool SetEndpointStringProperty(const std::wstring& deviceInstanceId, const PROPERTYKEY& key,
                               const wchar_t* value)
{
    // Declared first, so that every interface below is released before COM is uninitialised.
    const platform::UniqueComApartment apartment = platform::EnterComApartment(COINIT_MULTITHREADED);
    if (!apartment)
    {
        return false;
    }

    driver::CComRef<IMMDeviceEnumerator> enumerator;
    if (FAILED(driver::Devices().CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                                  __uuidof(IMMDeviceEnumerator), enumerator.PutVoid())) ||
        !enumerator)
    {
        return false;
    }
    driver::CComRef<IMMDeviceCollection> endpoints;
    if (FAILED(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, endpoints.Put())) || !endpoints)
    {
        return false;
    }
    UINT count = 0;
    if (FAILED(endpoints->GetCount(&count)))
    {
        return false;
    }

    for (UINT index = 0; index < count; ++index)
    {
        driver::CComRef<IMMDevice> endpoint;
        if (FAILED(endpoints->Item(index, endpoint.Put())) || !endpoint)
        {
            continue;
        }
        if (!IsEndpointOf(*endpoint.Get(), deviceInstanceId))
        {
            continue;
        }
        // Only the device's own endpoint is opened for writing.
        driver::CComRef<IPropertyStore> store;
        if (FAILED(endpoint->OpenPropertyStore(STGM_WRITE, store.Put())) || !store)
        {
            VLOG(velmar::LogSeverity::Error) << L"OpenPropertyStore failed";
            return false;
        }
        CStringValue text;
        if (!text.Assign(value))
        {
            VLOG(velmar::LogSeverity::Error) << L"InitPropVariantFromString failed";
            return false;
        }
        const HRESULT written = store->SetValue(key, text.Get());
        if (FAILED(written))
        {
            VLOG(velmar::LogSeverity::Error)
                << L"Set PKEY_... failed: " << ToHex(static_cast<std::uint32_t>(written));
            return false;
        }
        const HRESULT committed = store->Commit();
        if (FAILED(committed))
        {
            VLOG(velmar::LogSeverity::Error)
                << L"Commit of PKEY_... failed: " << ToHex(static_cast<std::uint32_t>(committed));
            return false;
        }
        return true;
    }
    return false;
}
