#pragma once
// The embedded HTTP server of a process (Boost.Beast over Asio, two I/O threads):
//   GET  /        status page (processor name, settings, meters, application health)
//   GET  /status  the same as JSON
//   POST /json    a JSON request as for ProcessJson (JsonRequest.h); 200 on success, 400 with the
//                 error answer otherwise (403 for a change asked by a read-only account)
// Every request needs the account's HTTP Basic credentials unless unlogged access was granted, which
// with an account lets callers only read (AuthStore.h); otherwise the answer is 401. Requests of other
// sites (Origin 403, Host 421, a body that is not JSON 415) and password guessing (429) are refused as
// WebGuard.h describes. HTTPS serves the same on its own port with the configured certificate
// (TlsContext.h), with the scheme https in the Origin check.
#include "library/ProcessingLibraryApi.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmar::reflib
{
class CProcess;

class CWebServer
{
public:
    // Listens on bindAddress:httpPort and, over TLS, on bindAddress:httpsPort (no listener for a port
    // of 0). The certificate is read now; without a usable one there is no HTTPS listener (logged as
    // an error) and HTTP goes on. Throws std::system_error when the address is invalid or a port cannot
    // be bound (in use), std::invalid_argument for a port above 65535.
    CWebServer(const std::string& bindAddress, std::uint32_t httpPort, std::uint32_t httpsPort,
               std::weak_ptr<CProcess> process, VelmarHandle processHandle);
    // Stop(1000).
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Closes the listener and all connections, waits up to timeoutMs for the requests in progress,
    // then abandons them and joins the threads. Idempotent.
    void Stop(std::int32_t timeoutMs);
    // Bit 0: the HTTP listener runs. Bit 1: the HTTPS listener runs.
    std::int32_t Status() const;
    VelmarHandle ProcessHandle() const;
    std::uint16_t Port() const;

    void SetAppHealth(const std::string& health);
    std::string AppHealth() const;

private:
    class CImpl;
    std::unique_ptr<CImpl> m_impl;
};
} // namespace velmar::reflib
