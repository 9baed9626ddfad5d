#pragma once
// One processing instance per virtual audio device: its instance thread runs the audio loop in
// passes, each pass with its own library instance; during each audio phase a registry-watch thread
// applies changes of the instance key. Other threads end the instance (Stop) or make it re-create its
// processing (RequestRestart) through two atomic flags; neither waits for the threads.
#include "config/ConfigInstance.h"
#include "driver/Driver.h"
#include "library/DynLoader.h"
#include "platform/Event.h"
#include "processing/PublishedName.h"

#include <atomic>
#include <exception>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CEvent;
class CProcessingInstance;
class TraceActivity;

class CInstance
{
public:
    // Copies the three, takes the name from the instance key name, creates the driver channel. Starts
    // nothing.
    CInstance(velmar::helper::CDynLoader* loader, std::wstring interfacePath,
              std::shared_ptr<CConfigInstance> configuration);
    // Stops the instance and joins its thread (std::system_error when called on that thread).
    virtual ~CInstance();
    CInstance(const CInstance&) = delete;
    CInstance& operator=(const CInstance&) = delete;

    // Clears both flags and starts the instance thread; a thread started before (running or ended) is
    // not started again: "Thread already running for " + name at FATAL.
    void Start();
    // Sets the stop flag, cancels the driver channel and wakes the instance's waits.
    void Stop();
    // Sets the restart flag (once until the next pass clears it), wakes the waits, cancels the channel.
    void RequestRestart();
    // After a failed transfer: false for an ordinary transfer error. Otherwise closes the channel, and
    // unless the instance is stopping or restarting waits for the outcome of the device's removal
    // (or for a stop), logs it and returns true: the audio phase ends and the driver is reopened. A
    // transfer that failed because the device is gone (no query came first: a surprise removal) counts
    // as a loss too, and so does a transfer the device held back beyond the channel's limit (the
    // channel is closed and reopened). The wait for the removal's outcome is bounded.
    // name: the audio thread's own copy of the display name (nothing is allocated for the logs).
    bool HandleDriverLoss(const std::wstring& name);

    // A copy of the display name as last published (allocates: not for the audio path, which keeps its
    // own copy through PublishedName()).
    std::wstring ActiveName() const;
    const CPublishedName& PublishedName() const noexcept { return m_publishedName; }
    const std::wstring& InterfacePath() const noexcept { return m_interfacePath; }
    // The boundary of the instance's threads: logs what ended the thread (" - stopping this instance",
    // FATAL) and stops the instance. thread names it in the log ("Instance thread").
    void StopAfterFailure(const wchar_t* thread, const std::exception* error) noexcept;

private:
    friend class CAudioLoop;
    friend class CRegistryWatch;

    // A transfer failed because the device is no longer there: closes the channel, waits (bounded, or
    // until a stop or restart) for the removal notice, logs it when it came; true.
    bool HandleDeviceGone(const std::wstring& name);
    // Writer side of the published name; the instance mutex must be held.
    void PublishName(const std::wstring& name);
    void ThreadEntry();
    // The instance thread's body once it holds the claim on the instance's storage.
    void RunWithStorage();

    velmar::helper::CDynLoader* m_loader;
    std::wstring m_interfacePath;
    std::shared_ptr<CConfigInstance> m_configuration;
    std::wstring m_keyName;
    std::wstring m_name;
    CPublishedName m_publishedName;
    // Set by Stop: ends the wait for the storage claim.
    CEvent m_stopEvent;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    CDriver m_driver;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_restart{false};
};
