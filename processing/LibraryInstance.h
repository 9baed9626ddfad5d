#pragma once
// One processing instance inside the processing library, and short-lived JSON clients of it.
#include "library/DynLoader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace velmar
{

// Owns a parameters handle (from construction) and, after Init, a library process with its update
// thread and possibly a web server. Shutdown ends the process; the destructor also frees the
// parameters. Subclasses are told when the update thread starts and stops (on that thread).
class CInstance
{
public:
    // NewParameters; std::bad_alloc when the library returns none.
    explicit CInstance(helper::CDynLoader* loader);
    virtual ~CInstance();
    CInstance(const CInstance&) = delete;
    CInstance& operator=(const CInstance&) = delete;

    virtual void OnUpdateThreadStart() {}
    virtual void OnUpdateThreadStop() {}

    // Creates the library process with the texts the library identifies it by (the host's name and
    // version, the instance's key and display name) and the storage directory, for chunks of `chunk`
    // frames (the caller's buffers): InitProcess3, or InitProcess2 when the library's chunk size is
    // that one. Then starts the update thread and waits up to 5 s for it to be ready. False when no
    // process was created, the chunk size differs, or the thread did not report ready (the process
    // and its thread then stay until Shutdown). std::system_error when the thread cannot be created.
    bool Init(const std::string& host, const std::string& version, const std::string& instanceKey,
              const std::string& displayName, const std::filesystem::path& storageDirectory,
              std::int32_t chunk);
    // Stops the web server and the update thread and exits the process; does nothing without a
    // process. Safe to call twice.
    void Shutdown();

    // Sends one JSON request through a new client; the answer.
    class CClient;

    helper::CDynLoader* Loader() const noexcept { return m_loader; }
    std::int64_t ParametersHandle() const noexcept { return m_parameters; }
    std::int64_t ProcessHandle() const noexcept { return m_process; }
    // The library's "no web server" handle.
    static constexpr std::int64_t kNoWebServer = -1;
    std::int64_t WebServerHandle() const noexcept { return m_webServer; }
    // Takes over a running web server; one held before must have been stopped.
    void SetWebServerHandle(std::int64_t handle) noexcept { m_webServer = handle; }
    // Stops the web server held (1 s for its connections), if any.
    void StopWebServer();

private:
    void UpdateThread();

    helper::CDynLoader* m_loader;
    std::int64_t m_parameters = 0;
    std::int64_t m_process = 0;
    std::thread m_updateThread;
    std::int64_t m_webServer = kNoWebServer;
};

// A client of one library process; DeleteClient when it goes.
class CInstance::CClient
{
public:
    // NewClient for the instance's process; std::bad_alloc when the library returns none.
    static std::shared_ptr<CClient> Create(const CInstance& instance);
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // ProcessJson; the answer copied (empty when the library gave none) and handed back.
    std::string Send(const std::string& request) const;

    // Only Create can make the tag, so only Create makes clients (through std::make_shared).
    class Token
    {
        friend class CClient;
        Token() = default;
    };
    CClient(Token, helper::CDynLoader* loader, std::int64_t client) noexcept
        : m_loader(loader), m_client(client)
    {
    }

private:
    helper::CDynLoader* m_loader;
    std::int64_t m_client;
};

} // namespace velmar
