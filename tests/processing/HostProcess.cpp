#include "HostProcess.h"

#include "platform/UniqueHandle.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace hosttest
{

std::filesystem::path BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

bool ClearStoredState()
{
    return WaitUntil(
        []
        {
            std::error_code error;
            std::filesystem::remove_all(kStorageRoot, error);
            return !std::filesystem::exists(kStorageRoot, error);
        },
        std::chrono::seconds(5));
}

CHostProcess::CHostProcess(const std::wstring& arguments, std::filesystem::path program)
{
    static std::atomic<int> sequence{0};
    if (program.empty())
    {
        program = BinDirectory() / L"orvane-sim.exe";
    }
    m_outputFile =
        std::filesystem::temp_directory_path() / (L"orvane-host-" + std::to_wstring(GetCurrentProcessId()) +
                                                  L"-" + std::to_wstring(sequence.fetch_add(1)) + L".log");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(m_outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
    {
        return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                       nullptr, program.parent_path().c_str(), &startup, &info))
    {
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_processId = info.dwProcessId;
    }
    CloseHandle(output);
}

CHostProcess::~CHostProcess()
{
    if (m_process == nullptr)
    {
        return;
    }
    if (!Wait(std::chrono::milliseconds(0)))
    {
        Interrupt();
        if (!Wait(std::chrono::seconds(10)))
        {
            TerminateProcess(m_process, 99);
            WaitForSingleObject(m_process, 5000);
        }
    }
    CloseHandle(m_process);
    std::error_code ignored;
    std::filesystem::remove(m_outputFile, ignored);
}

bool CHostProcess::Interrupt()
{
    // Through a process of its own each time: under Wine a process that attached to one console and
    // freed it cannot deliver the event to the next one.
    const std::filesystem::path tool = BinDirectory() / L"orvane-interrupt.exe";
    std::wstring commandLine = L"\"" + tool.wstring() + L"\" " + std::to_wstring(m_processId);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &info))
    {
        return false;
    }
    CloseHandle(info.hThread);
    DWORD code = 1;
    if (WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0)
    {
        GetExitCodeProcess(info.hProcess, &code);
    }
    CloseHandle(info.hProcess);
    return code == 0;
}

std::optional<DWORD> CHostProcess::Wait(std::chrono::milliseconds limit)
{
    if (m_process == nullptr ||
        WaitForSingleObject(m_process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
    {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return code;
}

std::string CHostProcess::Backtraces() const
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
    {
        return "no backtraces: no pipe";
    }
    const platform::UniqueHandle input(readEnd);
    const platform::UniqueHandle commands(writeEnd);
    SetHandleInformation(commands.get(), HANDLE_FLAG_INHERIT, 0);
    const std::filesystem::path file = m_outputFile.wstring() + L".bt";
    platform::UniqueFile output(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char script[] = "bt all\nquit\n";
    DWORD written = 0;
    WriteFile(commands.get(), script, sizeof(script) - 1, &written, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"winedbg.exe";
    if (!output || !CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                   nullptr, nullptr, &startup, &info))
    {
        return "no backtraces: winedbg did not start";
    }
    const platform::UniqueHandle debugger(info.hProcess);
    const platform::UniqueHandle debuggerThread(info.hThread);
    if (WaitForSingleObject(debugger.get(), 60000) != WAIT_OBJECT_0)
    {
        TerminateProcess(debugger.get(), 1);
    }
    output.reset(); // closed before it is read and removed
    std::ifstream text(file, std::ios::binary);
    std::string line;
    std::string threads;
    char ours[64] = {};
    std::snprintf(ours, sizeof(ours), " in process %04lx ", static_cast<unsigned long>(m_processId));
    bool keep = false;
    while (std::getline(text, line))
    {
        if (line.rfind("Backtracing for thread", 0) == 0)
        {
            keep = line.find(ours) != std::string::npos;
        }
        if (keep)
        {
            threads += line + "\n";
        }
    }
    text.close();
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return threads.empty() ? "no backtraces of the child" : "backtraces of the child:\n" + threads;
}

std::string CHostProcess::Output() const
{
    std::ifstream file(m_outputFile, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

size_t CHostProcess::CountInOutput(const std::string& text) const
{
    const std::string output = Output();
    size_t count = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size()))
    {
        ++count;
    }
    return count;
}

bool CHostProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const
{
    return WaitUntil([&] { return OutputContains(text); }, limit);
}

} // namespace hosttest
