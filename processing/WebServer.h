#pragma once
// The library's web server of one processing instance and its administrator account.
#include <cstdint>
#include <string>

class CProcessingInstance;

// Starts the server on the ports (0 = that protocol is not wanted; both 0 starts nothing). A start
// that fails, or a server that does not listen on every requested port, is logged at ERROR as
// "Failed to start Webserver for " + name; a server that started keeps its handle so that it is
// stopped with the instance. A library without Webserver_Status cannot confirm a start: it counts as
// failed and the server is stopped again.
void StartWebServer(CProcessingInstance& instance, const std::wstring& name, std::uint32_t httpPort,
                    std::uint32_t httpsPort);

// Stops the running server (if any) and starts it on the new ports.
void RestartWebServer(CProcessingInstance& instance, const std::wstring& name, std::uint32_t httpPort,
                      std::uint32_t httpsPort);

// The account setup request for the password (clear text), with or without unlogged access.
std::string AccountSetupRequest(const std::wstring& password, bool grantUnloggedAccess);

// Sends the account setup through a new client of the instance (std::bad_alloc without a client).
void SendAccountSetup(const CProcessingInstance& instance, const std::wstring& password,
                      bool grantUnloggedAccess);
