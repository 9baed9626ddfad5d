#pragma once
// One processing instance of the library: its settings (published to the audio path as an atomically
// swapped snapshot), its DSP chain and chunk buffers, the update loop that stores changed settings in
// "state.json", the AddAudio/GetAudio queue, its access rules ("auth.json") and its small extras
// (metadata, preset directory, bus, trace activity).
//
// Locks: m_settingsMutex (settings writers, saving), m_audioMutex (the DSP state; taken only by the
// audio calls, never by web or JSON requests), m_loopMutex (update loop), m_extrasMutex (metadata,
// presets). None is held while another is taken.
#include "library/ProcessingLibraryApi.h"
#include "reflib/AudioFifo.h"
#include "reflib/AuthStore.h"
#include "reflib/DspChain.h"
#include "reflib/Settings.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmar::reflib
{
constexpr std::int32_t kFifoChunks = 16;     // output queue capacity, in chunks
constexpr std::int32_t kMaxPacketChunks = 8; // most frames of one AddAudio/GetAudio call, in chunks

class CProcess
{
public:
    // `storage` empty: nothing is stored. `defaults`: the settings used where state.json has none.
    CProcess(std::filesystem::path storage, const CSettings& defaults, double sampleRate,
             std::int32_t chunkFrames);
    ~CProcess();
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    std::int32_t ChunkFrames() const { return m_chunkFrames; }
    double SampleRate() const { return m_sampleRate; }
    const std::filesystem::path& Storage() const { return m_storage; }

    // Settings.
    std::shared_ptr<const CDspSnapshot> Snapshot() const { return m_snapshot.load(); }
    std::int32_t ApplySettings(const nlohmann::json& changes, std::string& error);
    // Writes state.json now; true when stored (or when there is no storage directory).
    bool SaveState();

    // Audio. Process: one chunk; input and output may alias.
    void ProcessChunk(const float* input, float* output);
    float* BufferIn() { return m_bufferIn.data(); }
    float* BufferOut() { return m_bufferOut.data(); }
    const CPeakMeters& Meters() const { return m_meters; }
    bool AddAudio(const float* samples, std::size_t frames);
    std::size_t OutputCount();
    std::size_t TakeAudio(float* destination, std::size_t frames);

    // Update loop: Run returns when Stop is called (at once when Stop came first or the loop already
    // runs elsewhere: 1). WaitReady: 0 when the loop runs, -1 on time-out, -2 when it has ended.
    std::int32_t RunUpdateLoop();
    void StopUpdateLoop();
    std::int32_t WaitUpdateLoopReady(std::int32_t timeoutMs);

    CAuthStore& Auth() { return m_auth; }

    // Extras.
    void SetMetadata(const std::string& key, const std::string& value);
    bool SetPresetDirectory(const std::filesystem::path& directory);
    std::int32_t RescanPresets(); // number of presets, -1 without a preset directory
    nlohmann::json Describe();    // metadata, presets, bus, trace activity
    void SetBus(VelmarHandle bus) { m_bus.store(bus); }
    VelmarHandle Bus() const { return m_bus.load(); }
    void SetTraceActivity(const std::uint8_t* id);

private:
    void Publish(const CSettings& settings);

    const std::filesystem::path m_storage;
    const double m_sampleRate;
    const std::int32_t m_chunkFrames;

    std::mutex m_settingsMutex;
    CSettings m_settings;
    std::atomic<std::shared_ptr<const CDspSnapshot>> m_snapshot;
    std::atomic<std::uint64_t> m_changeCount{0};
    std::atomic<std::uint64_t> m_savedCount{0};

    std::mutex m_audioMutex;
    CDspChain m_dsp;
    CAudioFifo m_fifo;
    std::vector<float> m_bufferIn;
    std::vector<float> m_bufferOut;
    CPeakMeters m_meters;

    std::mutex m_loopMutex;
    std::condition_variable m_loopWake;
    bool m_loopRunning = false;
    bool m_loopEnded = false;
    bool m_stopRequested = false;

    CAuthStore m_auth;

    std::mutex m_extrasMutex;
    std::map<std::string, std::string> m_metadata;
    std::filesystem::path m_presetDirectory;
    std::vector<std::string> m_presets;
    std::atomic<VelmarHandle> m_bus{0};
    std::array<std::atomic<std::uint64_t>, 2> m_traceActivity{};
};
} // namespace velmar::reflib
