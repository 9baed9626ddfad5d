#include "reflib/Process.h"

#include "reflib/FileStore.h"
#include "reflib/JsonText.h"
#include "reflib/LibraryLog.h"
#include "reflib/PasswordHash.h"
#include "reflib/RequestStatus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace velmar::reflib
{
namespace
{
constexpr auto kUpdatePeriod = std::chrono::milliseconds(100);
constexpr const char* kStateFile = "state.json";
constexpr const char* kAuthFile = "auth.json";

std::filesystem::path FileIn(const std::filesystem::path& storage, const char* name)
{
    return storage.empty() ? std::filesystem::path() : storage / name;
}
} // namespace

CProcess::CProcess(std::filesystem::path storage, const CSettings& defaults, double sampleRate,
                   std::int32_t chunkFrames)
    : m_storage(std::move(storage)), m_sampleRate(sampleRate), m_chunkFrames(chunkFrames),
      m_settings(defaults),
      m_fifo(static_cast<std::size_t>(chunkFrames), static_cast<std::size_t>(chunkFrames) * kFifoChunks),
      m_bufferIn(static_cast<std::size_t>(chunkFrames), 0.0f),
      m_bufferOut(static_cast<std::size_t>(chunkFrames), 0.0f), m_auth(FileIn(m_storage, kAuthFile))
{
    if (!m_storage.empty())
    {
        std::error_code error;
        std::filesystem::create_directories(m_storage, error);
        if (!std::filesystem::is_directory(m_storage, error))
        {
            throw std::runtime_error("storage directory " + PathToUtf8(m_storage) + " cannot be used");
        }
        if (const auto content = ReadWholeFile(FileIn(m_storage, kStateFile)))
        {
            const auto json = nlohmann::json::parse(*content, nullptr, false);
            std::string problem;
            if (json.is_discarded() || ApplySettingsJson(m_settings, json, false, problem) != kStatusOk)
            {
                VELMAR_RLOG(Severity::Warn, "Settings of " << PathToUtf8(m_storage) << " partly unreadable"
                                                           << (problem.empty() ? "" : ": ") << problem);
            }
        }
        m_auth.Load();
    }
    m_snapshot.store(MakeDspSnapshot(m_settings, m_sampleRate));
}

CProcess::~CProcess()
{
    if (m_changeCount.load() != m_savedCount)
    {
        SaveState();
    }
}

void CProcess::Publish(const CSettings& settings)
{
    m_settings = settings;
    m_snapshot.store(MakeDspSnapshot(settings, m_sampleRate));
    m_changeCount.fetch_add(1);
    m_loopWake.notify_all();
}

std::int32_t CProcess::ApplySettings(const nlohmann::json& changes, std::string& error)
{
    std::lock_guard lock(m_settingsMutex);
    CSettings next = m_settings;
    const std::int32_t status = ApplySettingsJson(next, changes, true, error);
    if (status != kStatusOk)
    {
        return status;
    }
    if (!(next == m_settings))
    {
        Publish(next);
    }
    return kStatusOk;
}

bool CProcess::SaveState()
{
    std::lock_guard lock(m_settingsMutex);
    const std::uint64_t changes = m_changeCount.load();
    if (m_storage.empty())
    {
        m_savedCount = changes;
        return true;
    }
    if (!StoreFileAtomically(FileIn(m_storage, kStateFile), JsonToText(SettingsToJson(m_settings), 2)))
    {
        VELMAR_RLOG(Severity::Error, "Cannot store the settings in " << PathToUtf8(m_storage));
        return false;
    }
    m_savedCount = changes;
    return true;
}

void CProcess::ProcessChunk(const float* input, float* output)
{
    const auto snapshot = m_snapshot.load();
    std::lock_guard lock(m_audioMutex);
    m_dsp.Process(input, output, static_cast<std::size_t>(m_chunkFrames), *snapshot, m_meters);
}

bool CProcess::AddAudio(const float* samples, std::size_t frames)
{
    const auto snapshot = m_snapshot.load();
    std::lock_guard lock(m_audioMutex);
    return m_fifo.Add(
        samples, frames,
        [&](const float* input, float* output)
        { m_dsp.Process(input, output, static_cast<std::size_t>(m_chunkFrames), *snapshot, m_meters); });
}

std::size_t CProcess::OutputCount()
{
    std::lock_guard lock(m_audioMutex);
    return m_fifo.Available();
}

std::size_t CProcess::TakeAudio(float* destination, std::size_t frames)
{
    std::lock_guard lock(m_audioMutex);
    return m_fifo.Take(destination, frames);
}

std::int32_t CProcess::RunUpdateLoop()
{
    {
        std::lock_guard lock(m_loopMutex);
        if (m_stopRequested || m_loopRunning)
        {
            return 1;
        }
        m_loopRunning = true;
    }
    m_loopWake.notify_all();
    VELMAR_RLOG(Severity::Verb, "Update loop running for " << PathToUtf8(m_storage));
    std::unique_lock lock(m_loopMutex);
    while (!m_stopRequested)
    {
        m_loopWake.wait_for(lock, kUpdatePeriod, [this] { return m_stopRequested; });
        if (m_changeCount.load() != m_savedCount)
        {
            lock.unlock();
            SaveState();
            lock.lock();
        }
    }
    m_loopRunning = false;
    m_loopEnded = true;
    lock.unlock();
    if (m_changeCount.load() != m_savedCount)
    {
        SaveState();
    }
    m_loopWake.notify_all();
    VELMAR_RLOG(Severity::Verb, "Update loop ended for " << PathToUtf8(m_storage));
    return 0;
}

void CProcess::StopUpdateLoop()
{
    {
        std::lock_guard lock(m_loopMutex);
        m_stopRequested = true;
    }
    m_loopWake.notify_all();
}

std::int32_t CProcess::WaitUpdateLoopReady(std::int32_t timeoutMs)
{
    std::unique_lock lock(m_loopMutex);
    const auto ready = [this] { return m_loopRunning || m_loopEnded || m_stopRequested; };
    if (!m_loopWake.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), ready))
    {
        return -1;
    }
    return m_loopRunning ? 0 : -2;
}

void CProcess::SetMetadata(const std::string& key, const std::string& value)
{
    std::lock_guard lock(m_extrasMutex);
    m_metadata[key] = value;
}

bool CProcess::SetPresetDirectory(const std::filesystem::path& directory)
{
    std::error_code error;
    if (directory.empty() || !std::filesystem::is_directory(directory, error))
    {
        return false;
    }
    {
        std::lock_guard lock(m_extrasMutex);
        m_presetDirectory = directory;
    }
    RescanPresets();
    return true;
}

std::int32_t CProcess::RescanPresets()
{
    std::filesystem::path directory;
    {
        std::lock_guard lock(m_extrasMutex);
        directory = m_presetDirectory;
    }
    if (directory.empty())
    {
        return -1;
    }
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error))
    {
        if (it->is_regular_file(error) && it->path().extension() == ".json")
        {
            names.push_back(PathToUtf8(it->path().stem()));
        }
    }
    std::sort(names.begin(), names.end());
    std::lock_guard lock(m_extrasMutex);
    m_presets = std::move(names);
    return static_cast<std::int32_t>(m_presets.size());
}

void CProcess::SetTraceActivity(const std::uint8_t* id)
{
    std::uint64_t words[2] = {0, 0};
    if (id != nullptr)
    {
        std::memcpy(words, id, sizeof words);
    }
    m_traceActivity[0].store(words[0], std::memory_order_relaxed);
    m_traceActivity[1].store(words[1], std::memory_order_relaxed);
}

nlohmann::json CProcess::Describe()
{
    std::uint64_t words[2] = {m_traceActivity[0].load(), m_traceActivity[1].load()};
    Bytes activity(sizeof words);
    std::memcpy(activity.data(), words, sizeof words);
    std::lock_guard lock(m_extrasMutex);
    return nlohmann::json{
        {"metadata", m_metadata},
        {"preset_directory", PathToUtf8(m_presetDirectory)},
        {"presets", m_presets},
        {"bus", m_bus.load()},
        {"trace_activity", ToHexText(activity)},
    };
}
} // namespace velmar::reflib
