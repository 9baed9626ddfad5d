#include "ReflibLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace reflib_test
{
CLibrary::CLibrary(const std::wstring& path, const std::string& prefix)
{
    module = ::LoadLibraryW(path.c_str());
    if (module == nullptr)
    {
        throw std::runtime_error("cannot load the library");
    }
    GetProcessInfo = reinterpret_cast<PFN_VELMAR_GetProcessInfo>(
        reinterpret_cast<void*>(::GetProcAddress(module, "VELMAR_GetProcessInfo")));
#define REFLIB_TEST_BIND(group, name, ret, params)                                                           \
    name = reinterpret_cast<velmar::lib::PFN_##name>(                                                        \
        reinterpret_cast<void*>(::GetProcAddress(module, (prefix + #name).c_str())));
    VELMAR_LIBRARY_ENTRY_POINTS(REFLIB_TEST_BIND)
#undef REFLIB_TEST_BIND
}

std::filesystem::path ProgramDirectory()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

const CLibrary& Lib()
{
    static const CLibrary library((ProgramDirectory() / L"velmar.orvane.cl.dll").wstring(), "orvane_");
    return library;
}

CTempDirectory::CTempDirectory()
{
    static std::atomic<int> counter{0};
    m_path = std::filesystem::temp_directory_path() /
             (L"reflib-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
}

CTempDirectory::~CTempDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string CTempDirectory::Utf8() const
{
    const auto text = m_path.u8string();
    return std::string(text.begin(), text.end());
}

CProcessRun::CProcessRun(const std::string& storage, VelmarHandle parameters)
{
    const auto& lib = Lib();
    m_process = lib.InitProcess3("", "", "", "", storage.c_str(), parameters, lib.GetChunkSizeInFrames());
    if (m_process == 0)
    {
        throw std::runtime_error("InitProcess3 failed");
    }
    const VelmarHandle process = m_process;
    m_updateThread = std::thread([process] { Lib().StartUpdateThread(process, 0); });
    if (lib.WaitUpdateThreadReady(m_process, 5000) < 0)
    {
        ADD_FAILURE() << "update loop not ready";
    }
}

CProcessRun::~CProcessRun()
{
    const auto& lib = Lib();
    lib.StopUpdateThread(m_process);
    m_updateThread.join();
    lib.ExitProcess(m_process);
}

std::string CProcessRun::Json(const std::string& request, std::int32_t* status) const
{
    const auto& lib = Lib();
    const VelmarHandle client = lib.NewClient(m_process);
    std::int32_t result = -100;
    const char* answer = lib.ProcessJson(client, request.c_str(), &result);
    std::string text = answer != nullptr ? answer : "";
    lib.FreeJsonAnswer(answer);
    lib.DeleteClient(client);
    if (status != nullptr)
    {
        *status = result;
    }
    return text;
}

std::string ReadFileText(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}
} // namespace reflib_test
