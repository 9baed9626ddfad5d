#pragma once
// The library under test, loaded from its file with LoadLibraryW and bound with GetProcAddress, and
// small helpers shared by the test files.
#include "library/ProcessingLibraryApi.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace reflib_test
{
struct CLibrary
{
    HMODULE module = nullptr;
    PFN_VELMAR_GetProcessInfo GetProcessInfo = nullptr;
#define REFLIB_TEST_MEMBER(group, name, ret, params) velmar::lib::PFN_##name name = nullptr;
    VELMAR_LIBRARY_ENTRY_POINTS(REFLIB_TEST_MEMBER)
#undef REFLIB_TEST_MEMBER

    // Loads `path` and binds every entry point found under `prefix` (missing ones stay null).
    CLibrary(const std::wstring& path, const std::string& prefix);
};

// velmar.orvane.cl.dll beside the test program, loaded once.
const CLibrary& Lib();
std::filesystem::path ProgramDirectory();

// A fresh, empty directory under the temporary folder, removed with the object.
class CTempDirectory
{
public:
    CTempDirectory();
    ~CTempDirectory();
    CTempDirectory(const CTempDirectory&) = delete;
    CTempDirectory& operator=(const CTempDirectory&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::string Utf8() const;

private:
    std::filesystem::path m_path;
};

// A process of the library with its update loop running on a thread of its own, as the host runs
// it; everything is stopped and released with the object.
class CProcessRun
{
public:
    explicit CProcessRun(const std::string& storage, VelmarHandle parameters = 0);
    ~CProcessRun();
    CProcessRun(const CProcessRun&) = delete;
    CProcessRun& operator=(const CProcessRun&) = delete;
    VelmarHandle Handle() const { return m_process; }
    // Sends a request through a client; `status` receives ProcessJson's status.
    std::string Json(const std::string& request, std::int32_t* status = nullptr) const;

private:
    VelmarHandle m_process = 0;
    std::thread m_updateThread;
};

std::string ReadFileText(const std::filesystem::path& path);
} // namespace reflib_test
