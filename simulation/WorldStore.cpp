#include "simulation/WorldStore.h"

#include "simulation/DeviceNames.h"
#include "simulation/WorldValues.h"

#include <objbase.h>

#include <algorithm>
#include <stdexcept>

namespace simulation
{

namespace
{

constexpr wchar_t kLockName[] = L"OrvaneDeviceWorld.Lock";

HANDLE LockHandle()
{
    // One handle for the process, kept until it ends; the mutex object lives as long as any process
    // holds a handle to it.
    static HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kLockName);
    return mutex;
}

// An open registry key below the world root, closed on destruction.
class CKey
{
public:
    CKey(const std::wstring& sub, bool create)
    {
        const std::wstring path =
            sub.empty() ? std::wstring(kWorldKey) : std::wstring(kWorldKey) + L"\\" + sub;
        LSTATUS status =
            create ? ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                       nullptr, &m_key, nullptr)
                   : ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, &m_key);
        if (status != ERROR_SUCCESS)
        {
            m_key = nullptr;
        }
    }
    ~CKey()
    {
        if (m_key)
        {
            ::RegCloseKey(m_key);
        }
    }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    explicit operator bool() const { return m_key != nullptr; }
    HKEY Get() const { return m_key; }

    DWORD Dword(const wchar_t* name, DWORD fallback = 0) const
    {
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (!m_key ||
            ::RegGetValueW(m_key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        {
            return fallback;
        }
        return value;
    }
    void SetDword(const wchar_t* name, DWORD value) const
    {
        if (m_key)
        {
            ::RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
    }
    std::vector<BYTE> Raw(const wchar_t* name, DWORD flags) const
    {
        DWORD size = 0;
        if (!m_key || ::RegGetValueW(m_key, nullptr, name, flags, nullptr, nullptr, &size) != ERROR_SUCCESS)
        {
            return {};
        }
        std::vector<BYTE> data(size + sizeof(wchar_t) * 2);
        size = static_cast<DWORD>(data.size());
        if (::RegGetValueW(m_key, nullptr, name, flags, nullptr, data.data(), &size) != ERROR_SUCCESS)
        {
            return {};
        }
        data.resize(size);
        return data;
    }
    std::optional<std::wstring> String(const wchar_t* name) const
    {
        DWORD size = 0;
        if (!m_key ||
            ::RegGetValueW(m_key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
        {
            return std::nullopt;
        }
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (::RegGetValueW(m_key, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
        {
            return std::nullopt;
        }
        text.resize(wcslen(text.c_str()));
        return text;
    }
    void SetString(const wchar_t* name, const std::wstring& value) const
    {
        if (m_key)
        {
            ::RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
    }
    std::vector<std::wstring> MultiString(const wchar_t* name) const
    {
        const auto raw = Raw(name, RRF_RT_REG_MULTI_SZ);
        std::vector<std::wstring> out;
        const auto* cursor = reinterpret_cast<const wchar_t*>(raw.data());
        const size_t count = raw.size() / sizeof(wchar_t);
        size_t i = 0;
        while (i < count && cursor[i] != L'\0')
        {
            std::wstring item(cursor + i);
            i += item.size() + 1;
            out.push_back(std::move(item));
        }
        return out;
    }
    void SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) const
    {
        std::wstring block;
        for (const auto& v : values)
        {
            block += v + L'\0';
        }
        block += L'\0';
        if (m_key)
        {
            ::RegSetValueExW(m_key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(block.data()),
                             static_cast<DWORD>(block.size() * sizeof(wchar_t)));
        }
    }
    std::vector<std::wstring> SubKeys() const
    {
        std::vector<std::wstring> names;
        for (DWORD i = 0; m_key; ++i)
        {
            wchar_t name[256];
            DWORD length = 256;
            if (::RegEnumKeyExW(m_key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            {
                break;
            }
            names.emplace_back(name, length);
        }
        return names;
    }

private:
    HKEY m_key = nullptr;
};

std::wstring DeviceKey(const std::wstring& instanceId)
{
    return L"Devices\\" + ToUpper(HashForm(instanceId));
}

std::wstring NewGuidText()
{
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid)))
    {
        throw std::runtime_error("CoCreateGuid failed");
    }
    wchar_t text[64];
    ::StringFromGUID2(guid, text, 64);
    return ToLower(text);
}

// No record, or the record of a removed device.
bool Reusable(const std::wstring& id)
{
    CKey key(DeviceKey(id), false);
    return !key || static_cast<DeviceState>(key.Dword(L"State")) == DeviceState::Removed;
}

// The key of one device record: the current one of the instance id, or a removed device's that
// gave its number to a newer one.
std::wstring RecordKey(const std::wstring& instanceId, DWORD record)
{
    std::wstring current = DeviceKey(instanceId);
    if (record == 0 || CKey(current, false).Dword(L"Record") == record)
    {
        return current;
    }
    return current + L"~" + std::to_wstring(record);
}

DeviceRecord ReadDevice(const CKey& key)
{
    DeviceRecord record;
    record.instanceId = key.String(L"InstanceId").value_or(L"");
    record.state = static_cast<DeviceState>(key.Dword(L"State"));
    record.index = key.Dword(L"Index");
    record.record = key.Dword(L"Record");
    record.startedTick = key.Dword(L"StartedTick");
    const auto events = key.Raw(L"HandleEvents", RRF_RT_REG_BINARY);
    record.handleEvents.resize(events.size() / sizeof(DWORD));
    std::copy_n(events.data(), record.handleEvents.size() * sizeof(DWORD),
                reinterpret_cast<BYTE*>(record.handleEvents.data()));
    if (record.state == DeviceState::Removed)
    {
        // A removed device is kept for its last handle events and its figures only.
        return record;
    }
    record.hardwareIds = key.MultiString(L"HardwareId");
    record.setupClass = key.String(L"SetupClass").value_or(L"");
    record.captureEndpoint = key.String(L"CaptureEndpoint").value_or(L"");
    record.renderEndpoint = key.String(L"RenderEndpoint").value_or(L"");
    record.vetoedQuery = key.Dword(L"VetoedQuery");
    record.removeRequestKind = key.Dword(L"RemoveRequestKind");
    record.removeRequestSeq = key.Dword(L"RemoveRequestSeq");
    record.removeResult = key.Dword(L"RemoveResult");
    record.removeResultSeq = key.Dword(L"RemoveResultSeq");
    record.shortReadRequests = key.Dword(L"ShortReadRequests");
    record.stallRequests = key.Dword(L"StallRequests");
    record.stallMs = key.Dword(L"StallMs");
    record.slowPermille = key.Dword(L"SlowPermille", 1000);
    record.expectationSeq = key.Dword(L"ExpectationSeq");
    record.expectation = key.String(L"Expectation").value_or(L"");
    record.failReadSeq = key.Dword(L"FailReadSeq");
    record.failReadCode = key.Dword(L"FailReadCode");
    record.failWriteSeq = key.Dword(L"FailWriteSeq");
    record.failWriteCode = key.Dword(L"FailWriteCode");
    return record;
}

} // namespace

CWorldLock::CWorldLock()
{
    const DWORD result = ::WaitForSingleObject(LockHandle(), INFINITE);
    // WAIT_ABANDONED: a process died holding it; the store is still consistent value by value.
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
    {
        throw std::runtime_error("device world lock failed");
    }
}

CWorldLock::~CWorldLock()
{
    ::ReleaseMutex(LockHandle());
}

namespace store
{

void Reset()
{
    CWorldLock lock;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kWorldKey);
    CKey root(L"", true);
    root.SetDword(L"Generation", 1);
}

void Bump()
{
    CWorldLock lock;
    CKey root(L"", true);
    root.SetDword(L"Generation", root.Dword(L"Generation") + 1);
}

DWORD Generation()
{
    CKey root(L"", false);
    return root.Dword(L"Generation");
}

std::vector<DeviceRecord> Devices()
{
    CWorldLock lock;
    std::vector<DeviceRecord> out;
    CKey devices(L"Devices", false);
    for (const auto& name : devices.SubKeys())
    {
        CKey key(L"Devices\\" + name, false);
        if (key)
        {
            out.push_back(ReadDevice(key));
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    return out;
}

std::optional<DeviceRecord> Find(const std::wstring& instanceId)
{
    if (instanceId.empty() || instanceId.size() > 200)
    {
        return std::nullopt;
    }
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return std::nullopt;
    }
    return ReadDevice(key);
}

std::wstring ReserveInstanceId(const std::wstring& enumeratorName)
{
    CWorldLock lock;
    CKey root(L"", true);
    // As the system does: the lowest number that is free, a removed device's too (its record is kept
    // apart for the late notifications of its registrations when the new device registers).
    for (DWORD index = 0;; ++index)
    {
        std::wstring id = InstanceIdForIndex(enumeratorName, index);
        if (Reusable(id))
        {
            return id;
        }
    }
}

bool RegisterDevice(const std::wstring& id, const std::vector<std::wstring>& hardwareIds,
                    const std::wstring& setupClass)
{
    CWorldLock lock;
    if (!Reusable(id))
    {
        return false;
    }
    if (CKey previous(DeviceKey(id), false); previous)
    {
        const DWORD old = previous.Dword(L"Record");
        CKey kept(DeviceKey(id) + L"~" + std::to_wstring(old), true);
        if (!kept || ::RegCopyTreeW(previous.Get(), nullptr, kept.Get()) != ERROR_SUCCESS)
        {
            throw std::runtime_error("cannot keep the removed device's record");
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kWorldKey) + L"\\" + DeviceKey(id)).c_str());
    }
    const DWORD record = []
    {
        CKey root(L"", true);
        const DWORD next = root.Dword(L"NextRecord") + 1;
        root.SetDword(L"NextRecord", next);
        return next;
    }();
    const std::wstring capture = CaptureEndpointId(NewGuidText());
    const std::wstring render = RenderEndpointId(NewGuidText());
    CKey key(DeviceKey(id), true);
    if (!key)
    {
        throw std::runtime_error("cannot create the device record");
    }
    const size_t digits = id.find_last_of(L'\\');
    key.SetString(L"InstanceId", id);
    key.SetDword(L"Record", record);
    key.SetDword(L"Index", static_cast<DWORD>(std::wcstoul(id.c_str() + digits + 1, nullptr, 10)));
    key.SetDword(L"State", static_cast<DWORD>(DeviceState::Registered));
    key.SetMultiString(L"HardwareId", hardwareIds);
    key.SetString(L"SetupClass", setupClass);
    key.SetString(L"CaptureEndpoint", capture);
    key.SetString(L"RenderEndpoint", render);
    const struct
    {
        const std::wstring& id;
        DWORD flow;
        const wchar_t* description;
    } endpoints[] = {{capture, 1, L"Microphone"}, {render, 0, L"Speakers"}};
    for (const auto& endpoint : endpoints)
    {
        CKey ep(L"Endpoints\\" + endpoint.id, true);
        ep.SetString(L"Id", endpoint.id);
        ep.SetString(L"Device", id);
        ep.SetDword(L"Flow", endpoint.flow);
        ep.SetDword(L"State", 1); // DEVICE_STATE_ACTIVE
        // PKEY_Device_DeviceDesc
        ep.SetString(L"{A45C254E-DF1C-4EFD-8020-67D146A850E0},2", endpoint.description);
    }
    return true;
}

std::wstring CreateDevice(const std::wstring& enumeratorName, const std::vector<std::wstring>& hardwareIds,
                          const std::wstring& setupClass)
{
    CWorldLock lock;
    const std::wstring id = ReserveInstanceId(enumeratorName);
    RegisterDevice(id, hardwareIds, setupClass);
    return id;
}

void SetHardwareIds(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    key.SetMultiString(L"HardwareId", hardwareIds);
}

bool SetState(const std::wstring& instanceId, DeviceState state)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return false;
    }
    key.SetDword(L"State", static_cast<DWORD>(state));
    if (state == DeviceState::Started)
    {
        key.SetDword(L"StartedTick", ::GetTickCount());
    }
    return true;
}

DWORD EndpointsDueInMs(const DeviceRecord& device)
{
    if (device.state != DeviceState::Started)
    {
        return 0;
    }
    const DWORD delay = RootValue(values::kEndpointDelay);
    const DWORD since = ::GetTickCount() - device.startedTick; // wraps as the tick count does
    return since >= delay ? 0 : delay - since;
}

DWORD PostHandleEvents(const std::wstring& instanceId, const std::vector<DWORD>& actions)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return 0;
    }
    auto events = key.Raw(L"HandleEvents", RRF_RT_REG_BINARY);
    for (DWORD action : actions)
    {
        const auto* cursor = reinterpret_cast<const BYTE*>(&action);
        events.insert(events.end(), cursor, cursor + sizeof(action));
    }
    ::RegSetValueExW(key.Get(), L"HandleEvents", 0, REG_BINARY, events.data(),
                     static_cast<DWORD>(events.size()));
    return static_cast<DWORD>(events.size() / sizeof(DWORD));
}

void RecordVeto(const std::wstring& instanceId, DWORD queryPosition)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    key.SetDword(L"VetoedQuery", queryPosition);
}

DWORD RequestRemoval(const std::wstring& instanceId, DWORD kind)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return 0;
    }
    const DWORD seq = key.Dword(L"RemoveRequestSeq") + 1;
    key.SetDword(L"RemoveRequestKind", kind);
    key.SetDword(L"RemoveRequestSeq", seq);
    return seq;
}

void AnswerRemoval(const std::wstring& instanceId, DWORD seq, DWORD result)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    key.SetDword(L"RemoveResult", result);
    key.SetDword(L"RemoveResultSeq", seq);
}

void RequestShortRead(const std::wstring& instanceId)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    key.SetDword(L"ShortReadRequests", key.Dword(L"ShortReadRequests") + 1);
}

// The figures the serving world publishes ("Stats.*") and the counts any process adds ("Count.*").
struct StatField
{
    const wchar_t* name;
    uint32_t DeviceStatistics::*member;
};
constexpr StatField kPublished[] = {
    {L"Stats.Connections", &DeviceStatistics::connections},
    {L"Stats.BlocksRead", &DeviceStatistics::blocksRead},
    {L"Stats.BlocksWritten", &DeviceStatistics::blocksWritten},
    {L"Stats.LateBlocks", &DeviceStatistics::lateBlocks},
    {L"Stats.ShortReadsInjected", &DeviceStatistics::shortReadsInjected},
    {L"Stats.BlocksChecked", &DeviceStatistics::blocksChecked},
    {L"Stats.Mismatches", &DeviceStatistics::mismatches},
    {L"Stats.TurnaroundP50Us", &DeviceStatistics::turnaroundP50Us},
    {L"Stats.TurnaroundP99Us", &DeviceStatistics::turnaroundP99Us},
    {L"Stats.TurnaroundMaxUs", &DeviceStatistics::turnaroundMaxUs},
    {L"Stats.WorldLateMaxUs", &DeviceStatistics::worldLateMaxUs},
    {L"Stats.StallsInjected", &DeviceStatistics::stallsInjected},
    {L"Stats.SilenceUs", &DeviceStatistics::silenceUs},
    {L"Stats.FirstCheckUs", &DeviceStatistics::firstCheckUs},
};
constexpr StatField kCounted[] = {
    {L"Count.FailedTransfers", &DeviceStatistics::failedTransfers},
    {L"Count.CancelledTransfers", &DeviceStatistics::cancelledTransfers},
    {L"Count.FailedReadsInjected", &DeviceStatistics::failedReadsInjected},
    {L"Count.FailedWritesInjected", &DeviceStatistics::failedWritesInjected},
    {L"Count.VetoesOpenHandle", &DeviceStatistics::vetoesOpenHandle},
    {L"Count.VetoesWorld", &DeviceStatistics::vetoesWorld},
    {L"Count.VetoesCallback", &DeviceStatistics::vetoesCallback},
    {L"Count.LateRemovals", &DeviceStatistics::lateRemovals},
    {L"Count.UnregisterInCallback", &DeviceStatistics::unregisterInCallback},
};

void PublishStatistics(const std::wstring& instanceId, const DeviceStatistics& figures)
{
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return;
    }
    for (const auto& field : kPublished)
    {
        key.SetDword(field.name, figures.*field.member);
    }
    key.SetDword(L"Stats.FirstMismatchBlock", static_cast<DWORD>(figures.firstMismatchBlock));
    key.SetDword(L"Stats.FirstMismatchFrame", static_cast<DWORD>(figures.firstMismatchFrame));
    key.SetDword(L"Stats.GlitchMs", static_cast<DWORD>(figures.glitchUs / 1000));
    key.SetDword(L"Stats.GlitchUsRest", static_cast<DWORD>(figures.glitchUs % 1000));
}

std::optional<DeviceStatistics> ReadStatistics(const std::wstring& instanceId)
{
    CKey key(DeviceKey(instanceId), false);
    if (!key)
    {
        return std::nullopt;
    }
    DeviceStatistics figures;
    for (const auto& field : kPublished)
    {
        figures.*field.member = key.Dword(field.name);
    }
    figures.firstMismatchBlock = static_cast<int32_t>(key.Dword(L"Stats.FirstMismatchBlock", 0xFFFFFFFF));
    figures.firstMismatchFrame = static_cast<int32_t>(key.Dword(L"Stats.FirstMismatchFrame", 0xFFFFFFFF));
    figures.glitchUs =
        static_cast<uint64_t>(key.Dword(L"Stats.GlitchMs")) * 1000 + key.Dword(L"Stats.GlitchUsRest");
    ReadCounts(instanceId, figures);
    return figures;
}

void ReadCounts(const std::wstring& instanceId, DeviceStatistics& figures)
{
    CKey key(DeviceKey(instanceId), false);
    for (const auto& field : kCounted)
    {
        figures.*field.member = key.Dword(field.name);
    }
}

void AddCount(const std::wstring& instanceId, const wchar_t* name, DWORD delta)
{
    if (delta == 0)
    {
        return;
    }
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    if (key)
    {
        key.SetDword(name, key.Dword(name) + delta);
    }
}

void ClearCounts()
{
    CWorldLock lock;
    {
        CKey root(L"", false);
        ::RegDeleteValueW(root.Get(), values::kUnregisterInCallback);
    }
    CKey devices(L"Devices", false);
    for (const auto& name : devices.SubKeys())
    {
        CKey key(L"Devices\\" + name, false);
        for (const auto& field : kCounted)
        {
            ::RegDeleteValueW(key.Get(), field.name);
        }
    }
}

void SetDeviceValue(const std::wstring& instanceId, const wchar_t* name, DWORD value, DWORD record)
{
    CWorldLock lock;
    CKey key(RecordKey(instanceId, record), false);
    key.SetDword(name, value);
}

DWORD DeviceValue(const std::wstring& instanceId, const wchar_t* name, DWORD record)
{
    CWorldLock lock;
    CKey key(RecordKey(instanceId, record), false);
    return key.Dword(name);
}

DWORD AddDeviceValue(const std::wstring& instanceId, const wchar_t* name, LONG delta, DWORD record)
{
    CWorldLock lock;
    CKey key(RecordKey(instanceId, record), false);
    if (!key)
    {
        return 0;
    }
    const DWORD value = key.Dword(name) + static_cast<DWORD>(delta);
    key.SetDword(name, value);
    return value;
}

void SetExpectation(const std::wstring& instanceId, const std::wstring& text)
{
    CWorldLock lock;
    CKey key(DeviceKey(instanceId), false);
    key.SetString(L"Expectation", text);
    key.SetDword(L"ExpectationSeq", key.Dword(L"ExpectationSeq") + 1);
}

DWORD RootValue(const wchar_t* name, DWORD fallback)
{
    CKey root(L"", false);
    return root.Dword(name, fallback);
}

void SetRootValue(const wchar_t* name, DWORD value)
{
    CWorldLock lock;
    CKey root(L"", true);
    root.SetDword(name, value);
}

DWORD IncrementRootValue(const wchar_t* name)
{
    CWorldLock lock;
    CKey root(L"", true);
    const DWORD value = root.Dword(name) + 1;
    root.SetDword(name, value);
    return value;
}

std::vector<EndpointRecord> Endpoints()
{
    CWorldLock lock;
    std::vector<EndpointRecord> out;
    CKey endpoints(L"Endpoints", false);
    for (const auto& name : endpoints.SubKeys())
    {
        CKey key(L"Endpoints\\" + name, false);
        out.push_back({name, key.String(L"Device").value_or(L""), key.Dword(L"Flow"), key.Dword(L"State")});
    }
    return out;
}

std::optional<EndpointRecord> FindEndpoint(const std::wstring& endpointId)
{
    if (endpointId.empty() || endpointId.find(L'\\') != std::wstring::npos)
    {
        return std::nullopt;
    }
    // One lookup: registry key names ignore letter case, endpoint ids do not, so the spelling stored
    // in the key decides.
    CWorldLock lock;
    CKey key(L"Endpoints\\" + endpointId, false);
    if (!key || key.String(L"Id").value_or(L"") != endpointId)
    {
        return std::nullopt;
    }
    return EndpointRecord{endpointId, key.String(L"Device").value_or(L""), key.Dword(L"Flow"),
                          key.Dword(L"State")};
}

bool SetEndpointState(const std::wstring& endpointId, DWORD state)
{
    if (!FindEndpoint(endpointId))
    {
        return false;
    }
    CWorldLock lock;
    CKey key(L"Endpoints\\" + endpointId, false);
    key.SetDword(L"State", state);
    return true;
}

std::optional<std::wstring> EndpointProperty(const std::wstring& endpointId, const std::wstring& keyText)
{
    if (!FindEndpoint(endpointId))
    {
        return std::nullopt;
    }
    CKey key(L"Endpoints\\" + endpointId, false);
    return key.String(keyText.c_str());
}

bool SetEndpointProperty(const std::wstring& endpointId, const std::wstring& keyText,
                         const std::wstring& value)
{
    if (!FindEndpoint(endpointId))
    {
        return false;
    }
    CWorldLock lock;
    CKey key(L"Endpoints\\" + endpointId, false);
    key.SetString(keyText.c_str(), value);
    return true;
}

std::vector<std::pair<std::wstring, std::wstring>> EndpointProperties(const std::wstring& endpointId)
{
    std::vector<std::pair<std::wstring, std::wstring>> out;
    if (!FindEndpoint(endpointId))
    {
        return out;
    }
    CKey key(L"Endpoints\\" + endpointId, false);
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD length = 256;
        DWORD type = 0;
        if (::RegEnumValueW(key.Get(), i, name, &length, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
        {
            break;
        }
        if (type == REG_SZ && name[0] == L'{')
        {
            out.emplace_back(name, key.String(name).value_or(L""));
        }
    }
    return out;
}

DWORD InstallSetting(const std::wstring& name)
{
    CKey key(L"Install", false);
    return key.Dword(name.c_str());
}

void SetInstallSetting(const std::wstring& name, DWORD value)
{
    CWorldLock lock;
    CKey key(L"Install", true);
    key.SetDword(name.c_str(), value);
}

void ClearInstallSettings()
{
    CWorldLock lock;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kWorldKey) + L"\\Install").c_str());
}

void ArmWorldKeyWatch(HKEY& root, HANDLE changed)
{
    if (!root && ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWorldKey, 0, nullptr, 0, KEY_NOTIFY | KEY_READ,
                                   nullptr, &root, nullptr) != ERROR_SUCCESS)
    {
        root = nullptr;
    }
    if (root && ::RegNotifyChangeKeyValue(root, FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                          changed, TRUE) != ERROR_SUCCESS)
    {
        ::RegCloseKey(root);
        root = nullptr;
    }
}

} // namespace store
} // namespace simulation
