#include "diagnostics/TraceActivity.h"
#include "diagnostics/TraceEvents.h"
#include "diagnostics/TraceMetadata.h"
#include "diagnostics/TraceProvider.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

constexpr REGHANDLE kHandle = 0x1234abcd;
constexpr std::uint64_t kInstance = 0x0000100000000000;
constexpr std::uint64_t kAudio = 0x0000200000000000;
constexpr std::uint64_t kRegistry = 0x0000400000000000;

struct Field
{
    std::string name;
    int type;
};

// One EventWriteTransfer call, decoded.
struct Written
{
    REGHANDLE handle;
    EVENT_DESCRIPTOR descriptor;
    bool hasActivity;
    GUID activity;
    bool hasRelated;
    GUID related;
    ULONG descriptorCount;
    std::vector<unsigned char> traits;
    ULONG traitsType;
    ULONG metadataType;
    std::uint16_t metadataSize;
    std::size_t metadataBytes;
    int tag;
    std::string name;
    std::vector<Field> fields;
    std::vector<std::vector<unsigned char>> values;
};

struct TraceState
{
    PENABLECALLBACK callback = nullptr;
    PVOID context = nullptr;
    GUID registeredId{};
    ULONG registerResult = ERROR_SUCCESS;
    int informationClass = -1;
    std::vector<unsigned char> information;
    std::vector<unsigned char> bytesBeforeInformation;
    std::vector<REGHANDLE> unregistered;
    std::vector<ULONG> idControls;
    unsigned long nextId = 1;
    std::vector<Written> written;
};
TraceState* g_trace = nullptr;

ULONG WINAPI FakeEventRegister(LPCGUID id, PENABLECALLBACK callback, PVOID context, PREGHANDLE handle)
{
    g_trace->registeredId = *id;
    g_trace->callback = callback;
    g_trace->context = context;
    if (g_trace->registerResult == ERROR_SUCCESS)
    {
        *handle = kHandle;
    }
    return g_trace->registerResult;
}

ULONG WINAPI FakeEventSetInformation(REGHANDLE, EVENT_INFO_CLASS infoClass, PVOID info, ULONG size)
{
    const auto* bytes = static_cast<const unsigned char*>(info);
    g_trace->informationClass = static_cast<int>(infoClass);
    g_trace->information.assign(bytes, bytes + size);
    g_trace->bytesBeforeInformation.assign(bytes - sizeof(GUID), bytes);
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeEventUnregister(REGHANDLE handle)
{
    g_trace->unregistered.push_back(handle);
    return ERROR_SUCCESS;
}

ULONG WINAPI FakeEventActivityIdControl(ULONG code, LPGUID id)
{
    g_trace->idControls.push_back(code);
    *id = GUID{};
    id->Data1 = g_trace->nextId++;
    id->Data4[7] = 0x5A;
    return ERROR_SUCCESS;
}

std::vector<unsigned char> Bytes(const EVENT_DATA_DESCRIPTOR& data)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(data.Ptr));
    return std::vector<unsigned char>(begin, begin + data.Size);
}

ULONG WINAPI FakeEventWriteTransfer(REGHANDLE handle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activity,
                                    LPCGUID related, ULONG count, PEVENT_DATA_DESCRIPTOR data)
{
    Written w{};
    w.handle = handle;
    w.descriptor = *descriptor;
    w.hasActivity = activity != nullptr;
    if (activity != nullptr)
    {
        w.activity = *activity;
    }
    w.hasRelated = related != nullptr;
    if (related != nullptr)
    {
        w.related = *related;
    }
    w.descriptorCount = count;
    if (count >= 2)
    {
        w.traits = Bytes(data[0]);
        w.traitsType = data[0].Reserved;
        w.metadataType = data[1].Reserved;
        const std::vector<unsigned char> metadata = Bytes(data[1]);
        w.metadataBytes = metadata.size();
        std::memcpy(&w.metadataSize, metadata.data(), 2);
        w.tag = metadata[2];
        std::size_t at = 3;
        w.name = reinterpret_cast<const char*>(&metadata[at]);
        at += w.name.size() + 1;
        while (at < metadata.size())
        {
            Field field;
            field.name = reinterpret_cast<const char*>(&metadata[at]);
            at += field.name.size() + 1;
            field.type = at < metadata.size() ? metadata[at] : -1;
            ++at;
            w.fields.push_back(field);
        }
        for (ULONG i = 2; i < count; ++i)
        {
            w.values.push_back(Bytes(data[i]));
        }
    }
    g_trace->written.push_back(std::move(w));
    return ERROR_SUCCESS;
}

std::wstring WideValue(const std::vector<unsigned char>& bytes)
{
    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text; // keeps the terminator as its last character
}

std::int64_t Int64Value(const std::vector<unsigned char>& bytes)
{
    std::int64_t value = 0;
    if (bytes.size() == sizeof(value))
    {
        std::memcpy(&value, bytes.data(), sizeof(value));
    }
    return value;
}

bool IsZero(const GUID& id)
{
    return IsEqualGUID(id, GUID{}) != FALSE;
}

class TraceTest : public ::testing::Test
{
protected:
    TraceTest()
    {
        g_trace = &m_state;
        SetCurrentTraceProvider(&m_provider);
    }
    ~TraceTest() override
    {
        m_provider.Unregister();
        SetCurrentTraceProvider(nullptr);
        g_trace = nullptr;
    }

    void Enable(UCHAR level, ULONGLONG any, ULONGLONG all)
    {
        ASSERT_NE(m_state.callback, nullptr);
        m_state.callback(&CTraceProvider::Id(), 1, level, any, all, nullptr, m_state.context);
    }

    std::vector<std::string> Summary() const
    {
        std::vector<std::string> names;
        for (const auto& w : m_state.written)
        {
            names.push_back(std::to_string(w.descriptor.Opcode) + " " + w.name);
        }
        return names;
    }

    // One pass of an instance thread, as the audio loop runs it.
    void RunPass(const std::wstring& name)
    {
        TraceActivity thread(TraceEvents::WdmThread, name);
        {
            TraceActivity loop(TraceEvents::Loop, name, &thread);
            TraceActivity creating(TraceEvents::CreatingInstance, name, &loop);
            creating.Stop();
            TraceActivity chunk(TraceEvents::AudioLoop, name, 0, &loop);
            TraceActivity reading(TraceEvents::ReadingAudio, name, 0, &chunk);
            reading.Stop();
            chunk.Stop();
            TraceActivity watch(TraceEvents::RegistryWatch, name, &loop);
            watch.Stop();
            TraceEvent(TraceEvents::ClosingDriver, name, &loop);
            loop.Stop();
        }
        thread.Stop();
    }

    TraceState m_state;
    CApiOverride<decltype(platform::SystemApi::EventRegister)> m_register{platform::Api().EventRegister,
                                                                          &FakeEventRegister};
    CApiOverride<decltype(platform::SystemApi::EventSetInformation)> m_information{
        platform::Api().EventSetInformation, &FakeEventSetInformation};
    CApiOverride<decltype(platform::SystemApi::EventUnregister)> m_unregister{platform::Api().EventUnregister,
                                                                              &FakeEventUnregister};
    CApiOverride<decltype(platform::SystemApi::EventActivityIdControl)> m_ids{
        platform::Api().EventActivityIdControl, &FakeEventActivityIdControl};
    CApiOverride<decltype(platform::SystemApi::EventWriteTransfer)> m_write{
        platform::Api().EventWriteTransfer, &FakeEventWriteTransfer};
    CTraceProvider m_provider;
};

TEST_F(TraceTest, RegisterPassesTheProviderIdAndSetsTheTraits)
{
    ASSERT_TRUE(m_provider.Register());
    const GUID expected = {0x85a58008, 0xb282, 0x4b53, {0x91, 0x3c, 0xf2, 0xe1, 0x2a, 0x7d, 0xc1, 0xed}};
    EXPECT_TRUE(IsEqualGUID(m_state.registeredId, expected));
    EXPECT_EQ(m_state.context, &m_provider);
    EXPECT_EQ(m_provider.Handle(), kHandle);
    EXPECT_EQ(m_state.informationClass, 2);

    const std::string name = "ORVANE.CL.drv";
    std::vector<unsigned char> traits{static_cast<unsigned char>(2 + name.size() + 1), 0};
    traits.insert(traits.end(), name.begin(), name.end());
    traits.push_back(0);
    EXPECT_EQ(m_state.information, traits);
    ASSERT_EQ(m_state.bytesBeforeInformation.size(), sizeof(GUID));
    EXPECT_EQ(std::memcmp(m_state.bytesBeforeInformation.data(), &expected, sizeof(GUID)), 0);
    // Not enabled until a controller says so.
    EXPECT_EQ(m_provider.EnableLevel(), 0u);

    m_provider.Unregister();
    EXPECT_EQ(m_state.unregistered, std::vector<REGHANDLE>{kHandle});
    EXPECT_EQ(m_provider.Handle(), 0u);
    EXPECT_EQ(CurrentTraceProvider(), nullptr);
    m_provider.Unregister();
    EXPECT_EQ(m_state.unregistered.size(), 1u);
}

TEST_F(TraceTest, FailedRegistrationSetsNoTraitsAndNeedsNoUnregistration)
{
    m_state.registerResult = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(m_provider.Register());
    EXPECT_EQ(m_state.informationClass, -1);
    EXPECT_EQ(m_provider.Handle(), 0u);
    m_provider.Unregister();
    EXPECT_TRUE(m_state.unregistered.empty());
}

TEST_F(TraceTest, EnableCallbackSetsLevelAndKeywordMasks)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(4, kInstance, 0);
    EXPECT_EQ(m_provider.EnableLevel(), 5u);
    EXPECT_TRUE(m_provider.IsEnabled(4, kInstance));
    EXPECT_FALSE(m_provider.IsEnabled(5, kInstance));
    EXPECT_FALSE(m_provider.IsEnabled(4, kAudio));
    EXPECT_TRUE(m_provider.IsEnabled(4, 0));

    Enable(0, kInstance | kAudio, kAudio);
    EXPECT_EQ(m_provider.EnableLevel(), 256u);
    EXPECT_TRUE(m_provider.IsEnabled(255, kAudio));
    EXPECT_TRUE(m_provider.IsEnabled(5, kAudio | kInstance));
    EXPECT_FALSE(m_provider.IsEnabled(5, kInstance)) << "keyword-all not contained";
    EXPECT_FALSE(m_provider.IsEnabled(5, kRegistry));

    // Capture state changes nothing; disable turns everything off.
    m_state.callback(&CTraceProvider::Id(), 2, 1, 0, 0, nullptr, m_state.context);
    EXPECT_EQ(m_provider.EnableLevel(), 256u);
    m_state.callback(&CTraceProvider::Id(), 0, 0, 0, 0, nullptr, m_state.context);
    EXPECT_EQ(m_provider.EnableLevel(), 0u);
    EXPECT_FALSE(m_provider.IsEnabled(0, 0));
}

TEST_F(TraceTest, DisabledProviderWritesNothingAndCreatesNoIds)
{
    ASSERT_TRUE(m_provider.Register());
    RunPass(L"Speakers");
    TraceEvent(TraceEvents::StoppedInstance, L"Speakers");
    {
        TraceActivity left(TraceEvents::AudioLoop, L"Speakers", 3);
        EXPECT_TRUE(IsZero(left.Id()));
    }
    EXPECT_TRUE(m_state.written.empty());
    EXPECT_TRUE(m_state.idControls.empty());

    // A parent started while disabled has no id, so a child started later carries no related id.
    TraceActivity parent(TraceEvents::Loop, L"Speakers");
    Enable(5, kInstance, 0);
    TraceActivity child(TraceEvents::OpeningDriver, L"Speakers", &parent);
    child.Stop();
    parent.Stop();
    ASSERT_EQ(Summary(), (std::vector<std::string>{"1 Opening driver", "2 Opening driver"}));
    EXPECT_FALSE(m_state.written[0].hasRelated);
    EXPECT_TRUE(m_state.written[0].hasActivity);
    EXPECT_FALSE(IsZero(child.Id()));
}

TEST_F(TraceTest, InformationalControllerOnInstanceKeywordSeesOnlyTheThreadActivity)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(4, kInstance, 0);
    RunPass(L"Speakers");
    {
        TraceActivity ended(TraceEvents::WdmThread, L"Mic");
    }
    EXPECT_EQ(Summary(), (std::vector<std::string>{"1 WDM thread", "2 WDM thread", "1 WDM thread",
                                                   "2 ActivityStoppedAutomatically"}));
    for (const auto& w : m_state.written)
    {
        EXPECT_EQ(w.handle, kHandle);
        EXPECT_EQ(w.descriptor.Level, 4);
        EXPECT_EQ(w.descriptor.Keyword, kInstance);
        EXPECT_EQ(w.descriptor.Channel, 11);
        EXPECT_EQ(w.descriptor.Id, 0);
        EXPECT_EQ(w.descriptor.Version, 0);
        EXPECT_EQ(w.descriptor.Task, 0);
        EXPECT_FALSE(w.hasRelated);
    }
    ASSERT_EQ(m_state.written[0].fields.size(), 1u);
    EXPECT_EQ(m_state.written[0].fields[0].name, "inst_name");
    EXPECT_EQ(m_state.written[0].fields[0].type, 1);
    EXPECT_EQ(WideValue(m_state.written[1].values.at(0)), std::wstring(L"Speakers") + L'\0');
    EXPECT_TRUE(m_state.written[3].fields.empty());
    EXPECT_TRUE(IsEqualGUID(m_state.written[2].activity, m_state.written[3].activity));
    EXPECT_FALSE(IsEqualGUID(m_state.written[0].activity, m_state.written[2].activity));
    EXPECT_EQ(m_state.idControls,
              (std::vector<ULONG>{EVENT_ACTIVITY_CTRL_CREATE_ID, EVENT_ACTIVITY_CTRL_CREATE_ID}));
}

TEST_F(TraceTest, VerboseAudioControllerSeesAudioActivitiesAndPlainEvents)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(5, kAudio, kAudio);
    RunPass(L"Speakers");
    TraceEvent(TraceEvents::RegistryChangePassword, L"Speakers");
    ASSERT_EQ(Summary(),
              (std::vector<std::string>{"1 Audio Loop", "1 Reading audio", "2 Reading audio", "2 Audio Loop",
                                        "0 Closing driver", "0 Registry change: Password change"}));
    const Written& chunkStart = m_state.written[0];
    const Written& readStart = m_state.written[1];
    const Written& readStop = m_state.written[2];
    EXPECT_EQ(chunkStart.descriptor.Level, 5);
    EXPECT_EQ(chunkStart.descriptor.Keyword, kAudio);
    EXPECT_EQ(chunkStart.descriptor.Channel, 11);
    // The chunk's parent ("Loop") was filtered out and has no id.
    EXPECT_FALSE(chunkStart.hasRelated);
    ASSERT_TRUE(readStart.hasRelated);
    EXPECT_TRUE(IsEqualGUID(readStart.related, chunkStart.activity));
    EXPECT_TRUE(IsEqualGUID(readStop.activity, readStart.activity));
    EXPECT_FALSE(readStop.hasRelated);

    ASSERT_EQ(readStart.fields.size(), 2u);
    EXPECT_EQ(readStart.fields[0].name, "inst_name");
    EXPECT_EQ(readStart.fields[0].type, 1);
    EXPECT_EQ(readStart.fields[1].name, "counter");
    EXPECT_EQ(readStart.fields[1].type, 9);
    ASSERT_EQ(readStop.values.size(), 2u);
    EXPECT_EQ(WideValue(readStop.values[0]), std::wstring(L"Speakers") + L'\0');
    EXPECT_EQ(readStop.values[1].size(), 8u);
    EXPECT_EQ(Int64Value(readStop.values[1]), 0);

    const Written& plain = m_state.written[4];
    EXPECT_EQ(plain.descriptor.Keyword, 0u);
    EXPECT_EQ(plain.descriptor.Level, 5);
    EXPECT_EQ(plain.descriptor.Opcode, 0);
    // "Loop" was not enabled, so the event has no enclosing activity id.
    EXPECT_FALSE(plain.hasActivity);
    ASSERT_EQ(plain.fields.size(), 1u);
    EXPECT_EQ(plain.fields[0].name, "inst_name");
}

TEST_F(TraceTest, EveryEventCarriesProviderTraitsAndSizedMetadata)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(0, ~0ull, 0);
    RunPass(L"Line 2");
    ASSERT_EQ(m_state.written.size(), 13u);
    const std::vector<unsigned char> traits(CTraceProvider::Traits(),
                                            CTraceProvider::Traits() + CTraceProvider::TraitsSize());
    for (const auto& w : m_state.written)
    {
        EXPECT_EQ(w.traits, traits);
        EXPECT_EQ(w.traitsType, 2u);
        EXPECT_EQ(w.metadataType, 1u);
        EXPECT_EQ(w.metadataSize, w.metadataBytes) << w.name;
        EXPECT_EQ(w.tag, 0);
        EXPECT_EQ(w.descriptorCount, 2 + w.fields.size());
        EXPECT_EQ(w.values.size(), w.fields.size());
    }
    // The plain event inside "Loop" carries the pass's activity id.
    const Written& closing = m_state.written[10];
    EXPECT_EQ(closing.name, "Closing driver");
    ASSERT_TRUE(closing.hasActivity);
    EXPECT_TRUE(IsEqualGUID(closing.activity, m_state.written[1].activity));
    // Loop's related id is the thread's id.
    ASSERT_TRUE(m_state.written[1].hasRelated);
    EXPECT_TRUE(IsEqualGUID(m_state.written[1].related, m_state.written[0].activity));
}

TEST_F(TraceTest, ActivityLeftByAnExceptionStopsAutomaticallyWithoutFields)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(5, kAudio, 0);
    GUID id{};
    try
    {
        TraceActivity chunk(TraceEvents::ConvertingAudioIn, L"Speakers", 41);
        id = chunk.Id();
        throw std::runtime_error("conversion failed");
    }
    catch (const std::runtime_error&)
    {
    }
    ASSERT_EQ(Summary(),
              (std::vector<std::string>{"1 Converting audio in", "2 ActivityStoppedAutomatically"}));
    const Written& stop = m_state.written[1];
    EXPECT_EQ(stop.descriptor.Level, 5);
    EXPECT_EQ(stop.descriptor.Keyword, kAudio);
    EXPECT_EQ(stop.descriptor.Channel, 11);
    EXPECT_TRUE(stop.fields.empty());
    EXPECT_EQ(stop.descriptorCount, 2u);
    ASSERT_TRUE(stop.hasActivity);
    EXPECT_TRUE(IsEqualGUID(stop.activity, id));
    EXPECT_EQ(Int64Value(m_state.written[0].values.at(1)), 41);
}

TEST_F(TraceTest, EmptyInstanceNameIsSentAsAnEmptyString)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(5, 0, 0);
    TraceEvent(TraceEvents::RegistryLost, L"");
    ASSERT_EQ(m_state.written.size(), 1u);
    ASSERT_EQ(m_state.written[0].values.size(), 1u);
    EXPECT_EQ(m_state.written[0].values[0], (std::vector<unsigned char>{0, 0}));
}

TEST_F(TraceTest, NoEventsOutsideAProcessingRun)
{
    ASSERT_TRUE(m_provider.Register());
    Enable(5, ~0ull, 0);
    SetCurrentTraceProvider(nullptr);
    RunPass(L"Speakers");
    TraceEvent(TraceEvents::ClosedDriver, L"Speakers");
    EXPECT_TRUE(m_state.written.empty());
    SetCurrentTraceProvider(&m_provider);
}

TEST(TraceMetadataTest, LayoutAndSizeLimit)
{
    unsigned char out[kTraceMetadataCapacity];
    const std::size_t size = BuildTraceMetadata(out, "Loop", TraceFields::NameCounter);
    // size (2 bytes), tag 0, "Loop" NUL, "inst_name" NUL 1, "counter" NUL 9
    std::vector<unsigned char> exact{0, 0, 0};
    for (const char* part : {"Loop", "inst_name"})
    {
        exact.insert(exact.end(), part, part + std::strlen(part) + 1);
        if (std::strcmp(part, "inst_name") == 0)
        {
            exact.push_back(1);
        }
    }
    exact.insert(exact.end(), {'c', 'o', 'u', 'n', 't', 'e', 'r', 0, 9});
    exact[0] = static_cast<unsigned char>(exact.size());
    ASSERT_EQ(size, exact.size());
    EXPECT_EQ(std::vector<unsigned char>(out, out + size), exact);

    EXPECT_EQ(BuildTraceMetadata(out, "x", TraceFields::None), 5u);
    const std::string tooLong(300, 'n');
    EXPECT_EQ(BuildTraceMetadata(out, tooLong.c_str(), TraceFields::Name), 0u);
    const std::string longest(kTraceMetadataCapacity - 4, 'n');
    EXPECT_EQ(BuildTraceMetadata(out, longest.c_str(), TraceFields::None), kTraceMetadataCapacity);
}

} // namespace
