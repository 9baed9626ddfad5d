#include "diagnostics/TraceActivity.h"

#include "diagnostics/TraceMetadata.h"
#include "diagnostics/TraceProvider.h"
#include "platform/SystemApi.h"

#include <evntprov.h>

#include <algorithm>
#include <cwchar>

namespace
{

constexpr UCHAR kTraceLoggingChannel = 11;
constexpr UCHAR kOpcodeInfo = 0;
constexpr UCHAR kOpcodeStart = 1;
constexpr UCHAR kOpcodeStop = 2;
constexpr ULONG kDescriptorProviderMetadata = 2;
constexpr ULONG kDescriptorEventMetadata = 1;

bool IsZero(const GUID& id) noexcept
{
    static const GUID zero{};
    return IsEqualGUID(id, zero) != FALSE;
}

void SetDescriptor(EVENT_DATA_DESCRIPTOR& descriptor, const void* data, std::size_t size, ULONG type) noexcept
{
    descriptor.Ptr = reinterpret_cast<ULONGLONG>(data);
    descriptor.Size = static_cast<ULONG>(size);
    descriptor.Reserved = type;
}

struct EventWrite
{
    const char* name;
    std::uint8_t level;
    std::uint64_t keyword;
    UCHAR opcode;
    const GUID* activityId;
    const GUID* relatedId;
    TraceFields fields;
    std::wstring_view instanceName;
    std::int64_t counter;
};

// The caller has tested that the provider is enabled.
void Write(const CTraceProvider& provider, const EventWrite& event)
{
    unsigned char metadata[kTraceMetadataCapacity];
    const std::size_t metadataSize = BuildTraceMetadata(metadata, event.name, event.fields);
    if (metadataSize == 0)
    {
        return;
    }

    EVENT_DESCRIPTOR descriptor{};
    descriptor.Id = 0;
    descriptor.Version = 0;
    descriptor.Channel = kTraceLoggingChannel;
    descriptor.Level = event.level;
    descriptor.Opcode = event.opcode;
    descriptor.Task = 0;
    descriptor.Keyword = event.keyword;

    EVENT_DATA_DESCRIPTOR data[4];
    ULONG count = 0;
    SetDescriptor(data[count++], CTraceProvider::Traits(), CTraceProvider::TraitsSize(),
                  kDescriptorProviderMetadata);
    SetDescriptor(data[count++], metadata, metadataSize, kDescriptorEventMetadata);
    if (event.fields != TraceFields::None)
    {
        // The text and its terminator: callers hand over terminated texts.
        SetDescriptor(data[count++], event.instanceName.data(),
                      (event.instanceName.size() + 1) * sizeof(wchar_t), 0);
    }
    if (event.fields == TraceFields::NameCounter)
    {
        SetDescriptor(data[count++], &event.counter, sizeof(event.counter), 0);
    }
    platform::Api().EventWriteTransfer(provider.Handle(), &descriptor, event.activityId, event.relatedId,
                                       count, data);
}

} // namespace

TraceActivity::TraceActivity(const TraceActivityKind& kind, const std::wstring& instanceName,
                             const TraceActivity* parent)
    : m_provider(CurrentTraceProvider()), m_name(kind.name), m_level(kind.level), m_keyword(kind.keyword),
      m_hasCounter(false), m_counter(0)
{
    Start(instanceName, parent);
}

TraceActivity::TraceActivity(const TraceCounterActivityKind& kind, const std::wstring& instanceName,
                             std::int64_t counter, const TraceActivity* parent)
    : m_provider(CurrentTraceProvider()), m_name(kind.name), m_level(kind.level), m_keyword(kind.keyword),
      m_hasCounter(true), m_counter(counter)
{
    Start(instanceName, parent);
}

void TraceActivity::Start(const std::wstring& instanceName, const TraceActivity* parent)
{
    if (m_provider == nullptr || !m_provider->IsEnabled(m_level, m_keyword))
    {
        return;
    }
    platform::Api().EventActivityIdControl(EVENT_ACTIVITY_CTRL_CREATE_ID, &m_id);
    // Kept in the activity's own buffer for the stop: a copy into a string could allocate on the
    // audio path. A longer name is cut.
    m_instanceNameLength = std::min(instanceName.size(), kInstanceNameCapacity - 1);
    std::wmemcpy(m_instanceName, instanceName.c_str(), m_instanceNameLength);
    m_instanceName[m_instanceNameLength] = L'\0';
    const GUID* related = parent != nullptr && !IsZero(parent->Id()) ? &parent->Id() : nullptr;
    Write(*m_provider,
          {m_name, m_level, m_keyword, kOpcodeStart, &m_id, related,
           m_hasCounter ? TraceFields::NameCounter : TraceFields::Name, InstanceName(), m_counter});
    m_traced = true;
}

void TraceActivity::Stop()
{
    if (m_stopped)
    {
        return;
    }
    m_stopped = true;
    if (m_traced && m_provider->IsEnabled(m_level, m_keyword))
    {
        Write(*m_provider,
              {m_name, m_level, m_keyword, kOpcodeStop, &m_id, nullptr,
               m_hasCounter ? TraceFields::NameCounter : TraceFields::Name, InstanceName(), m_counter});
    }
}

TraceActivity::~TraceActivity()
{
    if (m_stopped)
    {
        return;
    }
    m_stopped = true;
    if (m_traced && m_provider->IsEnabled(m_level, m_keyword))
    {
        Write(*m_provider, {TraceEvents::kActivityStoppedAutomatically,
                            m_level,
                            m_keyword,
                            kOpcodeStop,
                            &m_id,
                            nullptr,
                            TraceFields::None,
                            {},
                            0});
    }
}

void TraceEvent(const TraceEventKind& kind, const std::wstring& instanceName, const TraceActivity* enclosing)
{
    const CTraceProvider* provider = CurrentTraceProvider();
    if (provider == nullptr || !provider->IsEnabled(kind.level, kind.keyword))
    {
        return;
    }
    const GUID* activity = enclosing != nullptr && !IsZero(enclosing->Id()) ? &enclosing->Id() : nullptr;
    Write(*provider, {kind.name, kind.level, kind.keyword, kOpcodeInfo, activity, nullptr, TraceFields::Name,
                      instanceName, 0});
}
