#include "driver/EndpointProperty.h"

#include "diagnostics/Log.h"
#include "driver/ComRef.h"
#include "driver/Devices.h"
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

bool SetEndpointStringProperty(const std::wstring& endpointId, const PROPERTYKEY& key, const wchar_t* value)
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
        driver::CComRef<IPropertyStore> store;
        if (FAILED(endpoint->OpenPropertyStore(STGM_WRITE, store.Put())) || !store)
        {
            VLOG(velmar::LogSeverity::Error) << L"OpenPropertyStore failed";
            continue;
        }
        platform::UniqueCoTaskMemString id;
        if (FAILED(endpoint->GetId(id.put())) || !id)
        {
            continue;
        }
        if (endpointId != id.get())
        {
            continue;
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
        return true;
    }
    return false;
}
