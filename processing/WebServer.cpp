#include "processing/WebServer.h"

#include "diagnostics/Log.h"
#include "platform/TextConversion.h"
#include "processing/JsonText.h"
#include "processing/ProcessingInstance.h"

namespace
{
bool TryStart(CProcessingInstance& instance, std::uint32_t httpPort, std::uint32_t httpsPort)
{
    velmar::helper::CDynLoader& library = *instance.Loader();
    if (library.Webserver == nullptr)
    {
        return false;
    }
    const std::int64_t handle = library.Webserver(httpPort, httpsPort, instance.ProcessHandle());
    if (handle == CProcessingInstance::kNoWebServer)
    {
        return false;
    }
    instance.SetWebServerHandle(handle);
    if (library.Webserver_Status == nullptr)
    {
        instance.StopWebServer();
        return false;
    }
    const std::int32_t status = library.Webserver_Status(handle);
    return (httpPort == 0 || (status & 1) != 0) && (httpsPort == 0 || (status & 2) != 0);
}
} // namespace

void StartWebServer(CProcessingInstance& instance, const std::wstring& name, std::uint32_t httpPort,
                    std::uint32_t httpsPort)
{
    if (httpPort == 0 && httpsPort == 0)
    {
        return;
    }
    if (!TryStart(instance, httpPort, httpsPort))
    {
        VLOG(velmar::LogSeverity::Error) << L"Failed to start Webserver for " << name;
    }
}

void RestartWebServer(CProcessingInstance& instance, const std::wstring& name, std::uint32_t httpPort,
                      std::uint32_t httpsPort)
{
    instance.StopWebServer();
    StartWebServer(instance, name, httpPort, httpsPort);
}

std::string AccountSetupRequest(const std::wstring& password, bool grantUnloggedAccess)
{
    const std::string secret = WideToUtf8(password);
    if (secret.empty())
    {
        return R"({"_auth":{"init":{"setup_account":null}}})";
    }
    std::string request = R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":")";
    request += JsonEscape(secret);
    request += R"("},"setup_is_admin":true)";
    if (grantUnloggedAccess)
    {
        request += R"(,"unlogged_access":"v")";
    }
    request += "}}}";
    return request;
}

void SendAccountSetup(const CProcessingInstance& instance, const std::wstring& password,
                      bool grantUnloggedAccess)
{
    const std::string request = AccountSetupRequest(password, grantUnloggedAccess);
    velmar::CInstance::CClient::Create(instance)->Send(request);
}
