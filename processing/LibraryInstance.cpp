#include "processing/LibraryInstance.h"

#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/TextConversion.h"

#include <new>

namespace velmar
{

CInstance::CInstance(helper::CDynLoader* loader) : m_loader(loader)
{
    m_parameters = m_loader->NewParameters();
    if (m_parameters == 0)
    {
        throw std::bad_alloc();
    }
}

CInstance::~CInstance()
{
    CatchAndLog(LogSeverity::Error, L"Library instance shutdown failed", [this] { Shutdown(); });
    if (m_parameters != 0)
    {
        m_loader->FreeParameters(m_parameters);
        m_parameters = 0;
    }
}

bool CInstance::Init(const std::string& host, const std::string& version, const std::string& instanceKey,
                     const std::string& displayName, const std::filesystem::path& storageDirectory,
                     std::int32_t chunk)
{
    const std::string storage =
        storageDirectory.empty() ? std::string() : WideToUtf8(storageDirectory.wstring());
    if (m_loader->InitProcess3 != nullptr)
    {
        m_process = m_loader->InitProcess3(host.c_str(), version.c_str(), instanceKey.c_str(),
                                           displayName.c_str(), storage.c_str(), m_parameters, chunk);
    }
    else
    {
        // Without a chunk size to ask for, the library's own must be the one the caller's buffers have.
        if (m_loader->GetChunkSizeInFrames() != chunk)
        {
            return false;
        }
        m_process = m_loader->InitProcess2(host.c_str(), version.c_str(), instanceKey.c_str(),
                                           displayName.c_str(), storage.c_str(), m_parameters);
    }
    if (m_process == 0)
    {
        return false;
    }
    m_updateThread = std::thread(&CInstance::UpdateThread, this);
    return m_loader->WaitUpdateThreadReady(m_process, 5000) >= 0;
}

void CInstance::UpdateThread()
{
    CatchAndLog(LogSeverity::Fatal, L"Update thread exception",
                [this]
                {
                    OnUpdateThreadStart();
                    m_loader->StartUpdateThread(m_process, 0);
                    OnUpdateThreadStop();
                });
}

void CInstance::Shutdown()
{
    if (m_process == 0)
    {
        return;
    }
    StopWebServer();
    if (m_updateThread.joinable())
    {
        m_loader->StopUpdateThread(m_process);
        m_updateThread.join();
    }
    m_loader->ExitProcess(m_process);
    m_process = 0;
}

void CInstance::StopWebServer()
{
    if (m_loader->Webserver_Stop != nullptr && m_webServer != kNoWebServer)
    {
        m_loader->Webserver_Stop(m_webServer, 1000);
        m_webServer = kNoWebServer;
    }
}

std::shared_ptr<CInstance::CClient> CInstance::CClient::Create(const CInstance& instance)
{
    helper::CDynLoader* loader = instance.Loader();
    const std::int64_t handle = loader->NewClient(instance.ProcessHandle());
    if (handle == 0)
    {
        throw std::bad_alloc();
    }
    try
    {
        return std::make_shared<CClient>(Token{}, loader, handle);
    }
    catch (...)
    {
        // No object took the client over: it goes here, or the library keeps it for good.
        loader->DeleteClient(handle);
        throw;
    }
}

CInstance::CClient::~CClient()
{
    if (m_client != 0)
    {
        m_loader->DeleteClient(m_client);
    }
}

std::string CInstance::CClient::Send(const std::string& request) const
{
    std::int32_t status = 0;
    const char* answer = m_loader->ProcessJson(m_client, request.c_str(), &status);
    if (answer == nullptr)
    {
        return {};
    }
    // The answer goes back to the library on every way out, also when the copy cannot be made.
    struct CAnswer
    {
        helper::CDynLoader* loader;
        const char* text;
        ~CAnswer() { loader->FreeJsonAnswer(text); }
    } owned{m_loader, answer};
    return std::string(owned.text);
}

} // namespace velmar
