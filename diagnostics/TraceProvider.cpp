#include "diagnostics/TraceProvider.h"

#include "platform/SystemApi.h"

namespace
{

// EVENT_INFO_CLASS value missing from MinGW's evntprov.h.
constexpr int kEventProviderSetTraits = 2;
// Enable-callback control codes.
constexpr ULONG kDisableProvider = 0;
constexpr ULONG kEnableProvider = 1;

constexpr char kProviderName[] = "ORVANE.CL.drv";
constexpr std::uint16_t kTraitsSize = static_cast<std::uint16_t>(2 + sizeof(kProviderName));

struct ProviderMetadata
{
    GUID id;
    unsigned char traits[kTraitsSize];
};

constexpr ProviderMetadata MakeMetadata()
{
    ProviderMetadata metadata{{0x85a58008, 0xb282, 0x4b53, {0x91, 0x3c, 0xf2, 0xe1, 0x2a, 0x7d, 0xc1, 0xed}},
                              {}};
    metadata.traits[0] = static_cast<unsigned char>(kTraitsSize & 0xFF);
    metadata.traits[1] = static_cast<unsigned char>(kTraitsSize >> 8);
    for (std::size_t index = 0; index < sizeof(kProviderName); ++index)
    {
        metadata.traits[2 + index] = static_cast<unsigned char>(kProviderName[index]);
    }
    return metadata;
}

constinit const ProviderMetadata g_metadata = MakeMetadata();

std::atomic<CTraceProvider*> g_current{nullptr};

} // namespace

CTraceProvider::CTraceProvider() noexcept = default;

CTraceProvider::~CTraceProvider()
{
    Unregister();
}

const GUID& CTraceProvider::Id() noexcept
{
    return g_metadata.id;
}

const unsigned char* CTraceProvider::Traits() noexcept
{
    return g_metadata.traits;
}

std::uint16_t CTraceProvider::TraitsSize() noexcept
{
    return kTraitsSize;
}

bool CTraceProvider::Register()
{
    if (Handle() != 0)
    {
        return true;
    }
    REGHANDLE handle = 0;
    const auto& api = platform::Api();
    if (api.EventRegister(&g_metadata.id, &CTraceProvider::EnableCallback, this, &handle) != ERROR_SUCCESS)
    {
        return false;
    }
    m_handle.store(handle, std::memory_order_relaxed);
    api.EventSetInformation(handle, static_cast<EVENT_INFO_CLASS>(kEventProviderSetTraits),
                            const_cast<unsigned char*>(g_metadata.traits), kTraitsSize);
    return true;
}

void CTraceProvider::Unregister()
{
    m_enableLevel.store(0, std::memory_order_relaxed);
    const REGHANDLE handle = m_handle.exchange(0, std::memory_order_relaxed);
    if (handle != 0)
    {
        platform::Api().EventUnregister(handle);
    }
    CTraceProvider* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

bool CTraceProvider::IsEnabled(std::uint8_t level, std::uint64_t keyword) const noexcept
{
    if (m_enableLevel.load(std::memory_order_relaxed) <= level)
    {
        return false;
    }
    if (keyword == 0)
    {
        return true;
    }
    const std::uint64_t all = m_keywordAll.load(std::memory_order_relaxed);
    return (keyword & m_keywordAny.load(std::memory_order_relaxed)) != 0 && (keyword & all) == all;
}

void NTAPI CTraceProvider::EnableCallback(LPCGUID, ULONG controlCode, UCHAR level, ULONGLONG matchAnyKeyword,
                                          ULONGLONG matchAllKeyword, PEVENT_FILTER_DESCRIPTOR, PVOID context)
{
    auto* provider = static_cast<CTraceProvider*>(context);
    if (provider == nullptr)
    {
        return;
    }
    switch (controlCode)
    {
    case kDisableProvider:
        provider->m_enableLevel.store(0, std::memory_order_relaxed);
        break;
    case kEnableProvider:
        provider->m_keywordAny.store(matchAnyKeyword, std::memory_order_relaxed);
        provider->m_keywordAll.store(matchAllKeyword, std::memory_order_relaxed);
        provider->m_enableLevel.store(level == 0 ? 256u : level + 1u, std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

CTraceProvider& ProcessTraceProvider()
{
    static CTraceProvider provider;
    return provider;
}

void SetCurrentTraceProvider(CTraceProvider* provider) noexcept
{
    g_current.store(provider, std::memory_order_release);
}

CTraceProvider* CurrentTraceProvider() noexcept
{
    return g_current.load(std::memory_order_acquire);
}
