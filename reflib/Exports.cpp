// The library's C interface: every entry point checks its arguments, finds its objects by handle and
// never lets an exception out (a failure is logged and answered with the entry point's error result).
#include "library/ProcessingLibraryApi.h"
#include "reflib/ChannelMix.h"
#include "reflib/ExportMacros.h"
#include "reflib/FileStore.h"
#include "reflib/JsonRequest.h"
#include "reflib/JsonText.h"
#include "reflib/LibraryLog.h"
#include "reflib/LibraryState.h"
#include "reflib/LibraryVersion.h"
#include "reflib/RequestStatus.h"
#include "reflib/SampleFormat.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <system_error>
#include <vector>

// Every entry point declared with the exact type of the shared header: a definition below that does
// not match it fails to compile.
extern "C"
{
#define VELMAR_DECLARE_ENTRY(group, name, ret, params) ret VELMAR_CALL VELMAR_EXPORT_NAME(name) params;
    VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_DECLARE_ENTRY)
#undef VELMAR_DECLARE_ENTRY
}

using namespace velmar::reflib;

namespace
{
constexpr std::int32_t kChunkFrames = 480;
constexpr std::int32_t kPossibleChunkFrames[] = {120, 240, 480, 960};
constexpr const char* kAnyAddress = "0.0.0.0";

template <typename R, typename F> R Guarded(const char* entry, R failure, F&& body) noexcept
{
    try
    {
        return body();
    }
    catch (const std::exception& error)
    {
        VELMAR_RLOG(Severity::Error, entry << " failed: " << error.what());
    }
    catch (...)
    {
        VELMAR_RLOG(Severity::Error, entry << " failed");
    }
    return failure;
}

template <typename F> void GuardedVoid(const char* entry, F&& body) noexcept
{
    Guarded(entry, 0,
            [&]
            {
                body();
                return 0;
            });
}

std::shared_ptr<CProcess> FindProcess(VelmarHandle process)
{
    return State().processes.Find(process);
}

bool IsPossibleChunk(std::int32_t frames)
{
    return std::find(std::begin(kPossibleChunkFrames), std::end(kPossibleChunkFrames), frames) !=
           std::end(kPossibleChunkFrames);
}

// The default settings of a new process from its parameters object.
CSettings DefaultsFrom(CParameters* parameters)
{
    CSettings settings;
    if (parameters == nullptr)
    {
        return settings;
    }
    nlohmann::json changes = nlohmann::json::object();
    std::lock_guard lock(parameters->mutex);
    for (const auto& [name, value] : parameters->values)
    {
        if (!IsSettingName(name))
        {
            continue;
        }
        if (name == "processorname" || name == "filter_type")
        {
            changes[name] = value;
        }
        else
        {
            const auto parsed = nlohmann::json::parse(value, nullptr, false);
            if (!parsed.is_discarded())
            {
                changes[name] = parsed;
            }
        }
    }
    std::string error;
    if (ApplySettingsJson(settings, changes, false, error) != kStatusOk)
    {
        VELMAR_RLOG(Severity::Warn, "Parameter ignored: " << error);
    }
    return settings;
}

VelmarHandle MakeProcess(const char* texts[4], const char* storageDirectory, VelmarHandle parameters,
                         std::int32_t chunkFrames)
{
    if (storageDirectory == nullptr || !IsPossibleChunk(chunkFrames))
    {
        return 0;
    }
    std::shared_ptr<CParameters> found;
    if (parameters != 0 && !(found = State().parameters.Find(parameters)))
    {
        return 0;
    }
    auto process = std::make_shared<CProcess>(PathFromUtf8(storageDirectory), DefaultsFrom(found.get()),
                                              static_cast<double>(VELMAR_SAMPLE_RATE), chunkFrames);
    for (int i = 0; i < 4; ++i)
    {
        process->SetMetadata("init_text" + std::to_string(i + 1), texts[i] != nullptr ? texts[i] : "");
    }
    if (found)
    {
        std::lock_guard lock(found->mutex);
        if (found->hasTraceActivity)
        {
            process->SetTraceActivity(found->traceActivity.data());
        }
    }
    const VelmarHandle handle = State().processes.Add(process);
    VELMAR_RLOG(Severity::Info, "Process " << handle << " created for \"" << storageDirectory << "\" ("
                                           << process->Snapshot()->settings.processorName << ")");
    return handle;
}

void StopServersOf(VelmarHandle process)
{
    for (const auto& [handle, server] : State().servers.All())
    {
        if (server->ProcessHandle() == process && State().servers.Remove(handle))
        {
            server->Stop(1000);
        }
    }
}

VelmarHandle StartServer(const char* address, std::uint32_t httpPort, std::uint32_t httpsPort,
                         VelmarHandle process)
{
    const auto found = FindProcess(process);
    if (!found || httpPort > 65535 || httpsPort > 65535 || (httpPort == 0 && httpsPort == 0))
    {
        VELMAR_RLOG(Severity::Error,
                    "Web server not started: invalid process or ports " << httpPort << "/" << httpsPort);
        return -1;
    }
    try
    {
        auto server = std::make_shared<CWebServer>(address, httpPort, httpsPort, found, process);
        return State().servers.Add(std::move(server));
    }
    catch (const std::system_error& error)
    {
        VELMAR_RLOG(Severity::Error, "Web server cannot listen on " << address << " ports " << httpPort << "/"
                                                                    << httpsPort << ": " << error.what());
        return -1;
    }
}

// Frame-count checks shared by the audio helpers: -1 for a negative count or a missing buffer.
bool BadBuffers(std::int32_t frames, const void* a, const void* b,
                const void* c = reinterpret_cast<const void*>(1))
{
    return frames < 0 || (frames > 0 && (a == nullptr || b == nullptr || c == nullptr));
}

std::int32_t MaxPacketFrames(const CProcess& process)
{
    return process.ChunkFrames() * kMaxPacketChunks;
}
} // namespace

// Identity and log.

#if !defined(VELMAR_WITHOUT_PROCESS_INFO)
VELMAR_EXPORT const VelmarProcessInfo* VELMAR_CALL VELMAR_GetProcessInfo(void)
{
    static const VelmarProcessInfo info{sizeof(VelmarProcessInfo), kProductName, VELMAR_PREFIX_TEXT,
                                        kLibraryVersion};
    return &info;
}
#endif

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(GetVersion)(void)
{
    return kLibraryVersion;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetChunkSizeInFrames)(void)
{
    return kChunkFrames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetChannelCount)(void)
{
    return 1;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetAudioInputCount)(void)
{
    return 1;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetAudioOutputCount)(void)
{
    return 1;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetSampleRate)(void)
{
    return VELMAR_SAMPLE_RATE;
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(SetLoggerCallback)(VelmarLogCallback callback)
{
    SetLogCallback(callback);
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(SetLogSeverity)(std::int32_t maxSeverity)
{
    SetLogMaxSeverity(maxSeverity);
}

// Parameters.

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(NewParameters)(void)
{
    return Guarded("NewParameters", VelmarHandle{0},
                   [] { return State().parameters.Add(std::make_shared<CParameters>()); });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(FreeParameters)(VelmarHandle parameters)
{
    GuardedVoid("FreeParameters", [&] { State().parameters.Remove(parameters); });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SetParameter)(VelmarHandle parameters,
                                                                        const char* name, const char* value)
{
    return Guarded("SetParameter", -1,
                   [&]
                   {
                       const auto found = State().parameters.Find(parameters);
                       if (!found || name == nullptr || value == nullptr)
                       {
                           return -1;
                       }
                       std::lock_guard lock(found->mutex);
                       found->values[name] = value;
                       return 0;
                   });
}

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(GetParameter)(VelmarHandle parameters,
                                                                       const char* name)
{
    return Guarded("GetParameter", static_cast<const char*>(nullptr),
                   [&]() -> const char*
                   {
                       const auto found = State().parameters.Find(parameters);
                       if (!found || name == nullptr)
                       {
                           return nullptr;
                       }
                       std::lock_guard lock(found->mutex);
                       const auto value = found->values.find(name);
                       return value == found->values.end() ? nullptr : State().texts.Allocate(value->second);
                   });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(FreeParameterValue)(const char* value)
{
    GuardedVoid("FreeParameterValue", [&] { State().texts.Release(value); });
}

// Processes.

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(InitProcess)(const char* storageDirectory,
                                                                       VelmarHandle parameters)
{
    return Guarded("InitProcess", VelmarHandle{0},
                   [&]
                   {
                       const char* texts[4] = {nullptr, nullptr, nullptr, nullptr};
                       return MakeProcess(texts, storageDirectory, parameters, kChunkFrames);
                   });
}

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(InitProcess2)(const char* text1, const char* text2,
                                                                        const char* text3, const char* text4,
                                                                        const char* storageDirectory,
                                                                        VelmarHandle parameters)
{
    return Guarded("InitProcess2", VelmarHandle{0},
                   [&]
                   {
                       const char* texts[4] = {text1, text2, text3, text4};
                       return MakeProcess(texts, storageDirectory, parameters, kChunkFrames);
                   });
}

#if !defined(VELMAR_WITHOUT_INIT_PROCESS3)
VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(InitProcess3)(const char* text1, const char* text2,
                                                                        const char* text3, const char* text4,
                                                                        const char* storageDirectory,
                                                                        VelmarHandle parameters,
                                                                        std::int32_t chunkFrames)
{
    return Guarded("InitProcess3", VelmarHandle{0},
                   [&]
                   {
                       const char* texts[4] = {text1, text2, text3, text4};
                       return MakeProcess(texts, storageDirectory, parameters, chunkFrames);
                   });
}
#endif

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(TerminateProcess)(VelmarHandle process)
{
    GuardedVoid("TerminateProcess",
                [&]
                {
                    if (const auto found = FindProcess(process))
                    {
                        StopServersOf(process);
                        found->StopUpdateLoop();
                        found->SaveState();
                    }
                });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(ExitProcess)(VelmarHandle process)
{
    GuardedVoid("ExitProcess",
                [&]
                {
                    if (const auto found = State().processes.Remove(process))
                    {
                        StopServersOf(process);
                        found->StopUpdateLoop();
                        found->SaveState();
                        VELMAR_RLOG(Severity::Info, "Process " << process << " ended");
                    }
                });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(StartUpdateThread)(VelmarHandle process,
                                                                             std::int32_t)
{
    return Guarded("StartUpdateThread", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? found->RunUpdateLoop() : -1;
                   });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(StopUpdateThread)(VelmarHandle process)
{
    GuardedVoid("StopUpdateThread",
                [&]
                {
                    if (const auto found = FindProcess(process))
                    {
                        found->StopUpdateLoop();
                    }
                });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(WaitUpdateThreadReady)(VelmarHandle process,
                                                                                 std::int32_t timeoutMs)
{
    return Guarded("WaitUpdateThreadReady", -3,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? found->WaitUpdateLoopReady(timeoutMs) : -3;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SaveState)(VelmarHandle process)
{
    return Guarded("SaveState", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found)
                       {
                           return -1;
                       }
                       return found->SaveState() ? 0 : -2;
                   });
}

// Audio of a process.

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(ProcessAudio)(VelmarHandle process,
                                                                        const float* input, float* output)
{
    return Guarded("ProcessAudio", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || input == nullptr || output == nullptr)
                       {
                           return -1;
                       }
                       found->ProcessChunk(input, output);
                       return 0;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(ProcessAudio_Planar)(VelmarHandle process,
                                                                               const float* const* inputs,
                                                                               float* const* outputs)
{
    return Guarded("ProcessAudio_Planar", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || inputs == nullptr || outputs == nullptr || inputs[0] == nullptr ||
                           outputs[0] == nullptr)
                       {
                           return -1;
                       }
                       found->ProcessChunk(inputs[0], outputs[0]);
                       return 0;
                   });
}

VELMAR_EXPORT float* VELMAR_CALL VELMAR_EXPORT_NAME(GetBufferIn)(VelmarHandle process)
{
    return Guarded("GetBufferIn", static_cast<float*>(nullptr),
                   [&]() -> float*
                   {
                       const auto found = FindProcess(process);
                       return found ? found->BufferIn() : nullptr;
                   });
}

VELMAR_EXPORT float* VELMAR_CALL VELMAR_EXPORT_NAME(GetBufferOut)(VelmarHandle process)
{
    return Guarded("GetBufferOut", static_cast<float*>(nullptr),
                   [&]() -> float*
                   {
                       const auto found = FindProcess(process);
                       return found ? found->BufferOut() : nullptr;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetEstimatedDelay)(VelmarHandle process)
{
    return Guarded("GetEstimatedDelay", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? found->Snapshot()->settings.delayFrames : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetMaxPacketFrame)(VelmarHandle process)
{
    return Guarded("GetMaxPacketFrame", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? MaxPacketFrames(*found) : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AddAudio)(VelmarHandle process, const void* data,
                                                                    std::int32_t frames, std::int32_t format)
{
    return Guarded("AddAudio", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || !IsKnownFormat(format) || BadBuffers(frames, data, data) ||
                           frames > MaxPacketFrames(*found))
                       {
                           return -1;
                       }
                       std::vector<float> samples(static_cast<std::size_t>(frames));
                       ConvertToFloat(data, samples.data(), samples.size(), format);
                       return found->AddAudio(samples.data(), samples.size()) ? frames : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AddPadAudio)(VelmarHandle process,
                                                                       std::int32_t frames)
{
    return Guarded("AddPadAudio", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || frames < 0 || frames > MaxPacketFrames(*found))
                       {
                           return -1;
                       }
                       return found->AddAudio(nullptr, static_cast<std::size_t>(frames)) ? frames : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetOutputCount)(VelmarHandle process)
{
    return Guarded("GetOutputCount", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? static_cast<std::int32_t>(found->OutputCount()) : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetAudio)(VelmarHandle process, void* data,
                                                                    std::int32_t frames, std::int32_t format)
{
    return Guarded("GetAudio", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || !IsKnownFormat(format) || BadBuffers(frames, data, data))
                       {
                           return -1;
                       }
                       std::vector<float> samples(
                           static_cast<std::size_t>(std::min(frames, MaxPacketFrames(*found))));
                       const std::size_t taken = found->TakeAudio(samples.data(), samples.size());
                       ConvertFromFloat(samples.data(), data, taken, format);
                       return static_cast<std::int32_t>(taken);
                   });
}

// Conversions (no process).

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetFormatFromName)(const char* name)
{
    return FormatFromName(name);
}

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(GetFormatName)(std::int32_t format)
{
    return FormatName(format);
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetBytesFromFormat)(std::int32_t format)
{
    return BytesPerSample(format);
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AudioConvertFrom)(const void* source,
                                                                            float* destination,
                                                                            std::int32_t frames,
                                                                            std::int32_t format)
{
    if (!IsKnownFormat(format) || BadBuffers(frames, source, destination))
    {
        return -1;
    }
    ConvertToFloat(source, destination, static_cast<std::size_t>(frames), format);
    return frames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AudioConvertTo)(const float* source,
                                                                          void* destination,
                                                                          std::int32_t frames,
                                                                          std::int32_t format)
{
    if (!IsKnownFormat(format) || BadBuffers(frames, source, destination))
    {
        return -1;
    }
    ConvertFromFloat(source, destination, static_cast<std::size_t>(frames), format);
    return frames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(StereoToMono)(const float* stereo, float* mono,
                                                                        std::int32_t frames)
{
    if (BadBuffers(frames, stereo, mono))
    {
        return -1;
    }
    MixStereoToMono(stereo, mono, static_cast<std::size_t>(frames));
    return frames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(MonoToStereo)(const float* mono, float* stereo,
                                                                        std::int32_t frames)
{
    if (BadBuffers(frames, mono, stereo))
    {
        return -1;
    }
    SpreadMonoToStereo(mono, stereo, static_cast<std::size_t>(frames));
    return frames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AudioMonoFromLiveStereo)(const void* stereo,
                                                                                   float* mono,
                                                                                   std::int32_t frames,
                                                                                   std::int32_t format)
{
    if (!IsKnownFormat(format) || BadBuffers(frames, stereo, mono))
    {
        return -1;
    }
    MixFormattedStereoToMono(stereo, mono, static_cast<std::size_t>(frames), format);
    return frames;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(AudioMonoToLiveStereo)(const float* mono,
                                                                                 void* stereo,
                                                                                 std::int32_t frames,
                                                                                 std::int32_t format)
{
    if (!IsKnownFormat(format) || BadBuffers(frames, mono, stereo))
    {
        return -1;
    }
    SpreadMonoToFormattedStereo(mono, stereo, static_cast<std::size_t>(frames), format);
    return frames;
}

#if !defined(VELMAR_WITHOUT_PLANAR_MIX)
VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(StereoToMono_Planar)(const float* left,
                                                                               const float* right,
                                                                               float* mono,
                                                                               std::int32_t frames)
{
    if (BadBuffers(frames, left, right, mono))
    {
        return -1;
    }
    MixPlanarToMono(left, right, mono, static_cast<std::size_t>(frames));
    return frames;
}
#endif

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(MonoToStereo_Planar)(const float* mono, float* left,
                                                                               float* right,
                                                                               std::int32_t frames)
{
    if (BadBuffers(frames, mono, left, right))
    {
        return -1;
    }
    SpreadMonoToPlanar(mono, left, right, static_cast<std::size_t>(frames));
    return frames;
}

// JSON clients.

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(NewClient)(VelmarHandle process)
{
    return Guarded("NewClient", VelmarHandle{0},
                   [&]() -> VelmarHandle
                   {
                       const auto found = FindProcess(process);
                       if (!found)
                       {
                           return 0;
                       }
                       auto client = std::make_shared<CClient>();
                       client->process = found;
                       return State().clients.Add(std::move(client));
                   });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(DeleteClient)(VelmarHandle client)
{
    GuardedVoid("DeleteClient", [&] { State().clients.Remove(client); });
}

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(ProcessJson)(VelmarHandle client,
                                                                      const char* request,
                                                                      std::int32_t* status)
{
    CJsonAnswer answer;
    const char* text = Guarded("ProcessJson", static_cast<const char*>(nullptr),
                               [&]() -> const char*
                               {
                                   const auto found = State().clients.Find(client);
                                   const auto process = found ? found->process.lock() : nullptr;
                                   if (!process)
                                   {
                                       answer = ErrorAnswer(kStatusUnknownHandle, "unknown client");
                                   }
                                   else if (request == nullptr)
                                   {
                                       answer = ErrorAnswer(kStatusMalformed, "no request");
                                   }
                                   else
                                   {
                                       answer = HandleJsonRequest(*process, request, Access::Admin);
                                   }
                                   return State().texts.Allocate(answer.text);
                               });
    if (status != nullptr)
    {
        *status = text != nullptr ? answer.status : kStatusInternalError;
    }
    return text;
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(FreeJsonAnswer)(const char* answer)
{
    GuardedVoid("FreeJsonAnswer", [&] { State().texts.Release(answer); });
}

// Web servers.

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_tcp)(std::uint32_t httpPort,
                                                                         VelmarHandle process)
{
    return Guarded("Webserver_tcp", VelmarHandle{-1},
                   [&] { return StartServer(kAnyAddress, httpPort, 0, process); });
}

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_tcp2)(std::uint32_t httpPort,
                                                                          std::uint32_t httpsPort,
                                                                          VelmarHandle process,
                                                                          const char* bindAddress)
{
    return Guarded("Webserver_tcp2", VelmarHandle{-1},
                   [&] {
                       return StartServer(bindAddress != nullptr ? bindAddress : kAnyAddress, httpPort,
                                          httpsPort, process);
                   });
}

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(Webserver)(std::uint32_t httpPort,
                                                                     std::uint32_t httpsPort,
                                                                     VelmarHandle process)
{
    return Guarded("Webserver", VelmarHandle{-1},
                   [&] { return StartServer(kAnyAddress, httpPort, httpsPort, process); });
}

#if !defined(VELMAR_WITHOUT_WEBSERVER_STOP)
VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_Stop)(VelmarHandle server, std::int32_t timeoutMs)
{
    GuardedVoid("Webserver_Stop",
                [&]
                {
                    if (const auto found = State().servers.Remove(server))
                    {
                        found->Stop(timeoutMs);
                    }
                });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_Status)(VelmarHandle server)
{
    return Guarded("Webserver_Status", 0,
                   [&]
                   {
                       const auto found = State().servers.Find(server);
                       return found ? found->Status() : 0;
                   });
}
#endif

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_SetAppHealth)(VelmarHandle server,
                                                                                  const char* health)
{
    return Guarded("Webserver_SetAppHealth", -1,
                   [&]
                   {
                       const auto found = State().servers.Find(server);
                       if (!found)
                       {
                           return -1;
                       }
                       found->SetAppHealth(health != nullptr ? health : "");
                       return 0;
                   });
}

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_GetAppHealth)(VelmarHandle server)
{
    return Guarded("Webserver_GetAppHealth", static_cast<const char*>(nullptr),
                   [&]() -> const char*
                   {
                       const auto found = State().servers.Find(server);
                       return found ? State().texts.Allocate(found->AppHealth()) : nullptr;
                   });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(Webserver_FreeString)(const char* text)
{
    GuardedVoid("Webserver_FreeString", [&] { State().texts.Release(text); });
}

// Metadata, presets, chunk sizes.

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SetMetadata)(VelmarHandle process, const char* key,
                                                                       const char* value)
{
    return Guarded("SetMetadata", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || key == nullptr)
                       {
                           return -1;
                       }
                       found->SetMetadata(key, value != nullptr ? value : "");
                       return 0;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SetMetadataMulti)(VelmarHandle process,
                                                                            const char* const* keys,
                                                                            const char* const* values,
                                                                            std::int32_t count)
{
    return Guarded(
        "SetMetadataMulti", -1,
        [&]
        {
            const auto found = FindProcess(process);
            if (!found || BadBuffers(count, keys, values) ||
                std::any_of(keys, keys + std::max(count, 0), [](const char* key) { return key == nullptr; }))
            {
                return -1;
            }
            for (std::int32_t i = 0; i < count; ++i)
            {
                found->SetMetadata(keys[i], values[i] != nullptr ? values[i] : "");
            }
            return count;
        });
}

VELMAR_EXPORT const char* VELMAR_CALL VELMAR_EXPORT_NAME(GetMetadataInfos)(VelmarHandle process)
{
    return Guarded("GetMetadataInfos", static_cast<const char*>(nullptr),
                   [&]() -> const char*
                   {
                       const auto found = FindProcess(process);
                       return found ? State().texts.Allocate(JsonToText(found->Describe())) : nullptr;
                   });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(FreeMetadataInfos)(const char* infos)
{
    GuardedVoid("FreeMetadataInfos", [&] { State().texts.Release(infos); });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SetPresetManager)(VelmarHandle process,
                                                                            const char* directory)
{
    return Guarded("SetPresetManager", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || directory == nullptr ||
                           !found->SetPresetDirectory(PathFromUtf8(directory)))
                       {
                           return -1;
                       }
                       return found->RescanPresets();
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(PresetManager_InformChange)(VelmarHandle process)
{
    return Guarded("PresetManager_InformChange", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? found->RescanPresets() : -1;
                   });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetPossibleChunkSizeInFrames)(std::int32_t* sizes,
                                                                                        std::int32_t capacity)
{
    constexpr auto count = static_cast<std::int32_t>(std::size(kPossibleChunkFrames));
    if (capacity < 0 || (capacity > 0 && sizes == nullptr))
    {
        return -1;
    }
    std::copy_n(kPossibleChunkFrames, std::min(capacity, count), sizes);
    return count;
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(GetProcessChunkFrames)(VelmarHandle process)
{
    return Guarded("GetProcessChunkFrames", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       return found ? found->ChunkFrames() : -1;
                   });
}

// Buses.

VELMAR_EXPORT VelmarHandle VELMAR_CALL VELMAR_EXPORT_NAME(NewBus)(void)
{
    return Guarded("NewBus", VelmarHandle{0}, [] { return State().buses.Add(std::make_shared<CBus>()); });
}

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(FreeBus)(VelmarHandle bus)
{
    GuardedVoid("FreeBus",
                [&]
                {
                    if (!State().buses.Remove(bus))
                    {
                        return;
                    }
                    for (const auto& [handle, process] : State().processes.All())
                    {
                        if (process->Bus() == bus)
                        {
                            process->SetBus(0);
                        }
                    }
                });
}

VELMAR_EXPORT std::int32_t VELMAR_CALL VELMAR_EXPORT_NAME(SetInstanceBus)(VelmarHandle process,
                                                                          VelmarHandle bus)
{
    return Guarded("SetInstanceBus", -1,
                   [&]
                   {
                       const auto found = FindProcess(process);
                       if (!found || (bus != 0 && !State().buses.Find(bus)))
                       {
                           return -1;
                       }
                       found->SetBus(bus);
                       return 0;
                   });
}

// Tracing.

VELMAR_EXPORT void VELMAR_CALL VELMAR_EXPORT_NAME(SetInstanceTracing)(VelmarHandle parameters,
                                                                      const void* traceProvider,
                                                                      const std::uint8_t* activityId)
{
    GuardedVoid("SetInstanceTracing",
                [&]
                {
                    if (const auto found = State().parameters.Find(parameters))
                    {
                        std::lock_guard lock(found->mutex);
                        found->traceProvider = traceProvider;
                        found->hasTraceActivity = activityId != nullptr;
                        if (activityId != nullptr)
                        {
                            std::memcpy(found->traceActivity.data(), activityId, found->traceActivity.size());
                        }
                    }
                });
}

VELMAR_EXPORT void VELMAR_CALL
VELMAR_EXPORT_NAME(SetInstanceTracingProcessActivity)(VelmarHandle process, const std::uint8_t* activityId)
{
    GuardedVoid("SetInstanceTracingProcessActivity",
                [&]
                {
                    if (const auto found = FindProcess(process))
                    {
                        found->SetTraceActivity(activityId);
                    }
                });
}
