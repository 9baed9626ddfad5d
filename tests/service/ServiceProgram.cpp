#include "ServiceProgram.h"

#include "platform/UniqueHandle.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace servicetest
{

namespace
{

std::wstring ReadOutput(const std::filesystem::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    const std::string text = bytes.str();
    std::wstring result;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        {
            continue;
        }
        result += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    return result;
}

platform::UniqueFile OutputFile(const std::filesystem::path& path)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return platform::UniqueFile(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

platform::UniqueServiceHandle OpenService()
{
    const platform::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
    {
        return {};
    }
    return platform::UniqueServiceHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
}

} // namespace

std::wstring SimProgram()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return (std::filesystem::path(path).parent_path() / L"orvane-sim.exe").wstring();
}

CommandResult RunCommand(const std::wstring& arguments, std::chrono::milliseconds limit)
{
    static std::atomic<int> sequence{0};
    const std::wstring stem = L"orvane-service-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(sequence.fetch_add(1));
    const std::filesystem::path outPath = std::filesystem::temp_directory_path() / (stem + L".out");
    const std::filesystem::path errPath = std::filesystem::temp_directory_path() / (stem + L".err");
    CommandResult result;
    {
        platform::UniqueFile out = OutputFile(outPath);
        platform::UniqueFile err = OutputFile(errPath);
        if (!out || !err)
        {
            result.err = L"cannot create the output files: error " + std::to_wstring(GetLastError()) + L"\n";
            return result;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        const std::wstring program = SimProgram();
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        PROCESS_INFORMATION info{};
        const auto begin = std::chrono::steady_clock::now();
        // Wine now and then fails to start a program on a loaded machine: two more tries, and the
        // reason in the result when it still does not start.
        bool started = false;
        for (int attempt = 0; attempt < 3 && !started; ++attempt)
        {
            started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info) != FALSE;
            if (!started)
            {
                result.err = L"cannot start the program: error " + std::to_wstring(GetLastError()) + L"\n";
                Sleep(200);
            }
        }
        if (!started)
        {
            return result;
        }
        result.err.clear();
        const platform::UniqueThread thread(info.hThread);
        const platform::UniqueHandle process(info.hProcess);
        if (WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0)
        {
            DWORD code = 0;
            GetExitCodeProcess(process.get(), &code);
            result.exitCode = code;
        }
        else
        {
            TerminateProcess(process.get(), 99);
            WaitForSingleObject(process.get(), 5000);
        }
        result.elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    }
    result.out = ReadOutput(outPath);
    result.err = ReadOutput(errPath);
    std::error_code ignored;
    std::filesystem::remove(outPath, ignored);
    std::filesystem::remove(errPath, ignored);
    return result;
}

std::optional<SERVICE_STATUS_PROCESS> ServiceStatus()
{
    const platform::UniqueServiceHandle service = OpenService();
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
    {
        return std::nullopt;
    }
    return status;
}

DWORD ServiceState()
{
    const auto status = ServiceStatus();
    return status ? status->dwCurrentState : 0;
}

bool ServiceExists()
{
    return static_cast<bool>(OpenService());
}

bool ProcessEnds(DWORD processId, std::chrono::milliseconds limit)
{
    const platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

void RemoveServiceLeftovers()
{
    if (const platform::UniqueServiceHandle service = OpenService())
    {
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitUntil([] { return ServiceState() == SERVICE_STOPPED; }, std::chrono::seconds(30));
        DeleteService(service.get());
    }
    WaitUntil([] { return !ServiceExists(); }, std::chrono::seconds(10));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
}

std::optional<StoredText> ReadText(const std::wstring& key, const wchar_t* name)
{
    platform::UniqueKey opened;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, opened.put()) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    StoredText stored;
    std::vector<wchar_t> buffer(512, L'\0');
    stored.bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(opened.get(), name, nullptr, &stored.type, reinterpret_cast<BYTE*>(buffer.data()),
                         &stored.bytes) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    stored.text = buffer.data();
    return stored;
}

} // namespace servicetest
