#pragma once
// The C interface of the processing library ("velmar.<product>.cl.dll"). This header is the only code
// that the host and a library implementation share.
//
// Every entry point is exported as <prefix><Name>, for example "orvane_GetVersion"; the prefix is the
// third pointer-sized field of the record returned by the unprefixed export "VELMAR_GetProcessInfo".
// Texts are narrow, UTF-8, NUL-terminated. Handles are opaque 64-bit values; 0 means "none" (for a web
// server handle, -1 means failure). Counts and sizes are 32-bit. Audio buffers of the library are
// float, one channel, one chunk (GetChunkSizeInFrames frames) long.
//
// Sample formats (GetFormatName / AudioConvertFrom / AudioConvertTo ...):
//   0 float 32-bit, 1 signed 16-bit PCM, 2 signed 24-bit PCM packed in 3 bytes,
//   3 signed 24-bit PCM in the low bytes of 4, 4 signed 32-bit PCM,
//   5 the driver's block format: one signed 32-bit PCM word per frame (4 bytes per frame).
#include <cstdint>

#if defined(_WIN32)
#define VELMAR_CALL __cdecl
#else
#define VELMAR_CALL
#endif

extern "C"
{
    typedef std::int64_t VelmarHandle;
    typedef void(VELMAR_CALL* VelmarLogCallback)(std::int32_t severity, const char* text);

    // What VELMAR_GetProcessInfo returns. Only `prefix` (the third field) is relied on by hosts.
    struct VelmarProcessInfo
    {
        std::uintptr_t size;     // sizeof(VelmarProcessInfo)
        const char* productName; // e.g. "ORVANE.CL"
        const char* prefix;      // export prefix, e.g. "orvane_"
        const char* version;     // same text as GetVersion
    };
    typedef const VelmarProcessInfo*(VELMAR_CALL* PFN_VELMAR_GetProcessInfo)(void);
}

// X(group, Name, ReturnType, (parameters)) for all 68 entry points, in table order. Groups 1 and 3 are
// mandatory; a name missing from an optional group leaves the rest of that group unbound.
#define VELMAR_LIBRARY_ENTRY_POINTS(X)                                                                      \
    X(1, GetVersion, const char*, (void))                                                                   \
    X(1, GetChunkSizeInFrames, std::int32_t, (void))                                                        \
    X(1, GetChannelCount, std::int32_t, (void))                                                             \
    X(1, GetAudioInputCount, std::int32_t, (void))                                                          \
    X(1, GetAudioOutputCount, std::int32_t, (void))                                                         \
    X(1, GetSampleRate, std::int32_t, (void))                                                               \
    X(1, SetLoggerCallback, void, (VelmarLogCallback callback))                                             \
    X(1, SetLogSeverity, void, (std::int32_t maxSeverity))                                                  \
    X(1, NewParameters, VelmarHandle, (void))                                                               \
    X(1, FreeParameters, void, (VelmarHandle parameters))                                                   \
    X(1, SetParameter, std::int32_t, (VelmarHandle parameters, const char* name, const char* value))        \
    X(1, GetParameter, const char*, (VelmarHandle parameters, const char* name))                            \
    X(1, FreeParameterValue, void, (const char* value))                                                     \
    X(1, InitProcess, VelmarHandle, (const char* storageDirectory, VelmarHandle parameters))                \
    X(1, InitProcess2, VelmarHandle,                                                                        \
      (const char* text1, const char* text2, const char* text3, const char* text4,                          \
       const char* storageDirectory, VelmarHandle parameters))                                              \
    X(1, TerminateProcess, void, (VelmarHandle process))                                                    \
    X(1, ExitProcess, void, (VelmarHandle process))                                                         \
    X(1, StartUpdateThread, std::int32_t, (VelmarHandle process, std::int32_t flags))                       \
    X(1, StopUpdateThread, void, (VelmarHandle process))                                                    \
    X(1, WaitUpdateThreadReady, std::int32_t, (VelmarHandle process, std::int32_t timeoutMs))               \
    X(1, ProcessAudio, std::int32_t, (VelmarHandle process, const float* input, float* output))             \
    X(1, ProcessAudio_Planar, std::int32_t,                                                                 \
      (VelmarHandle process, const float* const* inputs, float* const* outputs))                            \
    X(1, GetBufferIn, float*, (VelmarHandle process))                                                       \
    X(1, GetBufferOut, float*, (VelmarHandle process))                                                      \
    X(1, GetEstimatedDelay, std::int32_t, (VelmarHandle process))                                           \
    X(1, GetFormatName, const char*, (std::int32_t format))                                                 \
    X(1, GetFormatFromName, std::int32_t, (const char* name))                                               \
    X(1, GetBytesFromFormat, std::int32_t, (std::int32_t format))                                           \
    X(1, GetMaxPacketFrame, std::int32_t, (VelmarHandle process))                                           \
    X(1, AddAudio, std::int32_t,                                                                            \
      (VelmarHandle process, const void* data, std::int32_t frames, std::int32_t format))                   \
    X(1, AddPadAudio, std::int32_t, (VelmarHandle process, std::int32_t frames))                            \
    X(1, GetOutputCount, std::int32_t, (VelmarHandle process))                                              \
    X(1, GetAudio, std::int32_t, (VelmarHandle process, void* data, std::int32_t frames, std::int32_t format)) \
    X(1, AudioConvertFrom, std::int32_t,                                                                    \
      (const void* source, float* destination, std::int32_t frames, std::int32_t format))                   \
    X(1, AudioConvertTo, std::int32_t,                                                                      \
      (const float* source, void* destination, std::int32_t frames, std::int32_t format))                   \
    X(1, StereoToMono, std::int32_t, (const float* stereo, float* mono, std::int32_t frames))               \
    X(1, MonoToStereo, std::int32_t, (const float* mono, float* stereo, std::int32_t frames))               \
    X(1, AudioMonoFromLiveStereo, std::int32_t,                                                             \
      (const void* stereo, float* mono, std::int32_t frames, std::int32_t format))                          \
    X(1, AudioMonoToLiveStereo, std::int32_t,                                                               \
      (const float* mono, void* stereo, std::int32_t frames, std::int32_t format))                          \
    X(1, NewClient, VelmarHandle, (VelmarHandle process))                                                   \
    X(1, DeleteClient, void, (VelmarHandle client))                                                         \
    X(1, ProcessJson, const char*, (VelmarHandle client, const char* request, std::int32_t* status))       \
    X(1, FreeJsonAnswer, void, (const char* answer))                                                        \
    X(1, SaveState, std::int32_t, (VelmarHandle process))                                                   \
    X(2, Webserver_tcp, VelmarHandle, (std::uint32_t httpPort, VelmarHandle process))                       \
    X(2, Webserver_tcp2, VelmarHandle,                                                                      \
      (std::uint32_t httpPort, std::uint32_t httpsPort, VelmarHandle process, const char* bindAddress))     \
    X(2, Webserver, VelmarHandle, (std::uint32_t httpPort, std::uint32_t httpsPort, VelmarHandle process))  \
    X(2, Webserver_Stop, void, (VelmarHandle server, std::int32_t timeoutMs))                               \
    X(2, Webserver_Status, std::int32_t, (VelmarHandle server))                                             \
    X(3, StereoToMono_Planar, std::int32_t,                                                                 \
      (const float* left, const float* right, float* mono, std::int32_t frames))                            \
    X(3, MonoToStereo_Planar, std::int32_t, (const float* mono, float* left, float* right, std::int32_t frames)) \
    X(4, SetMetadata, std::int32_t, (VelmarHandle process, const char* key, const char* value))             \
    X(4, GetMetadataInfos, const char*, (VelmarHandle process))                                             \
    X(4, FreeMetadataInfos, void, (const char* infos))                                                      \
    X(4, SetPresetManager, std::int32_t, (VelmarHandle process, const char* directory))                     \
    X(4, PresetManager_InformChange, std::int32_t, (VelmarHandle process))                                  \
    X(4, GetPossibleChunkSizeInFrames, std::int32_t, (std::int32_t * sizes, std::int32_t capacity))         \
    X(4, GetProcessChunkFrames, std::int32_t, (VelmarHandle process))                                       \
    X(4, InitProcess3, VelmarHandle,                                                                        \
      (const char* text1, const char* text2, const char* text3, const char* text4,                          \
       const char* storageDirectory, VelmarHandle parameters, std::int32_t chunkFrames))                    \
    X(5, NewBus, VelmarHandle, (void))                                                                      \
    X(5, FreeBus, void, (VelmarHandle bus))                                                                 \
    X(5, SetInstanceBus, std::int32_t, (VelmarHandle process, VelmarHandle bus))                            \
    X(6, SetMetadataMulti, std::int32_t,                                                                    \
      (VelmarHandle process, const char* const* keys, const char* const* values, std::int32_t count))       \
    X(7, Webserver_SetAppHealth, std::int32_t, (VelmarHandle server, const char* health))                   \
    X(7, Webserver_GetAppHealth, const char*, (VelmarHandle server))                                        \
    X(7, Webserver_FreeString, void, (const char* text))                                                    \
    X(8, SetInstanceTracing, void,                                                                          \
      (VelmarHandle parameters, const void* traceProvider, const std::uint8_t* activityId))                 \
    X(8, SetInstanceTracingProcessActivity, void, (VelmarHandle process, const std::uint8_t* activityId))

// Function-pointer types: velmar::lib::PFN_<Name>.
namespace velmar::lib
{
#define VELMAR_DECLARE_PFN(group, name, ret, params) typedef ret(VELMAR_CALL* PFN_##name) params;
VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_DECLARE_PFN)
#undef VELMAR_DECLARE_PFN

#define VELMAR_COUNT_ENTRY(group, name, ret, params) +1
constexpr int kEntryPointCount = 0 VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_COUNT_ENTRY);
#undef VELMAR_COUNT_ENTRY
static_assert(kEntryPointCount == 68, "the library interface has 68 entry points");
} // namespace velmar::lib
