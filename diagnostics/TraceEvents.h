#pragma once
// The program's trace events and activities: name, level and keyword of each.
//   TraceActivity loop(TraceEvents::Loop, instanceName, &wdmThread);          ... loop.Stop();
//   TraceActivity chunk(TraceEvents::AudioLoop, instanceName, counter, &loop); ... chunk.Stop();
//   TraceEvent(TraceEvents::ClosingDriver, instanceName);
#include <cstdint>

// An activity whose start and stop carry "inst_name".
struct TraceActivityKind
{
    const char* name;
    std::uint8_t level;
    std::uint64_t keyword;
};

// An activity whose start and stop carry "inst_name" and "counter".
struct TraceCounterActivityKind
{
    const char* name;
    std::uint8_t level;
    std::uint64_t keyword;
};

// A single event carrying "inst_name".
struct TraceEventKind
{
    const char* name;
    std::uint8_t level;
    std::uint64_t keyword;
};

namespace TraceEvents
{

inline constexpr std::uint8_t kLevelInformation = 4;
inline constexpr std::uint8_t kLevelVerbose = 5;

inline constexpr std::uint64_t kKeywordInstance = 0x0000100000000000;
inline constexpr std::uint64_t kKeywordAudio = 0x0000200000000000;
inline constexpr std::uint64_t kKeywordRegistry = 0x0000400000000000;

// The instance thread and its passes.
inline constexpr TraceActivityKind WdmThread{"WDM thread", kLevelInformation, kKeywordInstance};
inline constexpr TraceActivityKind Loop{"Loop", kLevelVerbose, kKeywordInstance};
inline constexpr TraceActivityKind CreatingInstance{"Creating instance", kLevelVerbose, kKeywordInstance};
inline constexpr TraceActivityKind OpeningDriver{"Opening driver", kLevelVerbose, kKeywordInstance};

// One chunk of audio and its steps.
inline constexpr TraceCounterActivityKind AudioLoop{"Audio Loop", kLevelVerbose, kKeywordAudio};
inline constexpr TraceCounterActivityKind ProcessingAudio{"Processing audio", kLevelVerbose, kKeywordAudio};
inline constexpr TraceCounterActivityKind ConvertingAudioOut{"Converting audio out", kLevelVerbose,
                                                             kKeywordAudio};
inline constexpr TraceCounterActivityKind WritingAudio{"Writing audio", kLevelVerbose, kKeywordAudio};
inline constexpr TraceCounterActivityKind ReadingAudio{"Reading audio", kLevelVerbose, kKeywordAudio};
inline constexpr TraceCounterActivityKind ConvertingAudioIn{"Converting audio in", kLevelVerbose,
                                                            kKeywordAudio};

// The registry watch of an instance.
inline constexpr TraceActivityKind RegistryWatch{"registry watch", kLevelVerbose, kKeywordRegistry};

// Plain events.
inline constexpr TraceEventKind CreatingInstanceFailed{"Creating instance failed", kLevelVerbose, 0};
inline constexpr TraceEventKind OpeningDriverFailed{"Opening driver failed", kLevelVerbose, 0};
inline constexpr TraceEventKind OpeningDriverFailedWaiting{"Opening driver failed, waiting before retry",
                                                           kLevelVerbose, 0};
inline constexpr TraceEventKind ClosingDriver{"Closing driver", kLevelVerbose, 0};
inline constexpr TraceEventKind ClosedDriver{"Closed driver", kLevelVerbose, 0};
inline constexpr TraceEventKind StoppingInstance{"Stopping instance", kLevelVerbose, 0};
inline constexpr TraceEventKind StoppedInstance{"Stopped instance", kLevelVerbose, 0};
inline constexpr TraceEventKind RegistryLost{"Registry lost", kLevelVerbose, 0};
// The steps between the library process and the opening of the driver, each at its end.
inline constexpr TraceEventKind WebServerStarted{"Web server started", kLevelVerbose, 0};
inline constexpr TraceEventKind DeviceNamed{"Device named", kLevelVerbose, 0};
inline constexpr TraceEventKind AccountSetUp{"Account set up", kLevelVerbose, 0};
inline constexpr TraceEventKind GotRegistryChange{"Got registry change", kLevelVerbose, 0};
inline constexpr TraceEventKind RegistryChangeWeb{"Registry change: Web change", kLevelVerbose, 0};
inline constexpr TraceEventKind RegistryChangeName{"Registry change: Name change", kLevelVerbose, 0};
inline constexpr TraceEventKind RegistryChangePassword{"Registry change: Password change", kLevelVerbose, 0};

// Written by an activity that ends without Stop (its level and keyword are the activity's).
inline constexpr const char* kActivityStoppedAutomatically = "ActivityStoppedAutomatically";

} // namespace TraceEvents
