// Runs the real orvane.exe as a child process with redirected standard streams.
#include "app/Usage.h"
#include "app/Version.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace
{

struct ChildResult
{
    DWORD exitCode = 0xFFFFFFFF;
    std::wstring out;
    std::wstring err;
};

// Owns one handle.
class CHandle
{
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle) : m_handle(handle) {}
    ~CHandle() { Close(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE* Out() { return &m_handle; }
    HANDLE Get() const { return m_handle; }
    void Close()
    {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE)
        {
            CloseHandle(m_handle);
        }
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

std::filesystem::path BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
}

std::filesystem::path Program()
{
    return BinDirectory() / L"orvane.exe";
}

// The console text as the program wrote it to a pipe (UTF-8), with "\r\n" turned back into "\n".
std::wstring Normalise(const std::string& bytes)
{
    std::wstring text;
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    text.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    std::wstring result;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
        {
            continue;
        }
        result += text[i];
    }
    return result;
}

void ReadAll(HANDLE pipe, std::string& into)
{
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
    {
        into.append(buffer, read);
    }
}

// Starts the program with the command line "<program> <arguments>" in the given directory and waits
// (generously) for it to end.
ChildResult RunChild(const std::filesystem::path& program, const std::wstring& arguments,
                     const std::filesystem::path& directory)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    CHandle outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(outRead.Out(), outWrite.Out(), &inherit, 0) ||
        !CreatePipe(errRead.Out(), errWrite.Out(), &inherit, 0))
    {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return result;
    }
    SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
    CHandle inNull(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inNull.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();

    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    if (!arguments.empty())
    {
        commandLine += L" " + arguments;
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, directory.c_str(), &startup, &process))
    {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return result;
    }
    CHandle processHandle(process.hProcess);
    CHandle threadHandle(process.hThread);
    outWrite.Close();
    errWrite.Close();

    std::string outBytes, errBytes;
    std::thread errReader([&] { ReadAll(errRead.Get(), errBytes); });
    ReadAll(outRead.Get(), outBytes);
    if (WaitForSingleObject(processHandle.Get(), 120000) != WAIT_OBJECT_0)
    {
        ADD_FAILURE() << "the program did not end";
        TerminateProcess(processHandle.Get(), 99);
        WaitForSingleObject(processHandle.Get(), 10000);
    }
    errReader.join();
    GetExitCodeProcess(processHandle.Get(), &result.exitCode);
    result.out = Normalise(outBytes);
    result.err = Normalise(errBytes);
    return result;
}

ChildResult RunProgram(const std::wstring& arguments)
{
    return RunChild(Program(), arguments, BinDirectory());
}

const std::wstring kInvalid = L"Invalid command line parameter ?\n";

TEST(ProgramTest, Help)
{
    const ChildResult result = RunProgram(L"-h");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, UsageText(Program().wstring()));
    EXPECT_EQ(result.err, L"");
}

TEST(ProgramTest, Version)
{
    const ChildResult result = RunProgram(L"-V");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, ORVANE_VERSION_TEXT L"\n");
    EXPECT_EQ(result.err, L"");
}

TEST(ProgramTest, ScanErrorsGoToStandardErrorWithTheUsage)
{
    const std::wstring program = Program().wstring();
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"--ver", L"ambiguous option -- ver"},
        {L"-x", L"unknown option -- x"},
        {L"-r", L"option requires an argument -- r"},
        // Text outside ASCII arrives whole.
        {L"--\u4e2d\u00fcber", L"unknown option -- \u4e2d\u00fcber"},
    };
    for (const auto& [arguments, message] : cases)
    {
        const ChildResult result = RunProgram(arguments);
        EXPECT_EQ(result.exitCode, 1u) << arguments;
        EXPECT_EQ(result.out, L"") << arguments;
        EXPECT_EQ(result.err, program + L": " + message + L"\n" + kInvalid + UsageText(program)) << arguments;
    }
}

// A fresh folder holding only a copy of the program, removed again at the end.
class CLonelyProgram
{
public:
    CLonelyProgram()
    {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_directory =
            std::filesystem::path(temp) / (L"orvane-front-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                           std::to_wstring(GetTickCount64()));
        std::filesystem::create_directories(m_directory);
        std::filesystem::copy_file(Program(), m_directory / L"orvane.exe");
    }
    ~CLonelyProgram()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
    const std::filesystem::path& Directory() const { return m_directory; }

private:
    std::filesystem::path m_directory;
};

TEST(ProgramTest, MissingLibraryEndsTheRunWithOneFatalLine)
{
    CLonelyProgram lonely;
    const ChildResult result = RunChild(lonely.Directory() / L"orvane.exe", L"", lonely.Directory());
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, L"");

    std::vector<std::wstring> fatalLines;
    std::size_t start = 0;
    while (start < result.err.size())
    {
        const std::size_t end = result.err.find(L'\n', start);
        const std::wstring line = result.err.substr(start, end - start);
        if (line.find(L" FATAL ") != std::wstring::npos)
        {
            fatalLines.push_back(line);
        }
        start = end == std::wstring::npos ? result.err.size() : end + 1;
    }
    ASSERT_EQ(fatalLines.size(), 1u) << result.err;
    const std::wstring suffix = L" FATAL [MAIN] velmar.orvane.cl.dll can not be loaded";
    ASSERT_GE(fatalLines[0].size(), suffix.size());
    EXPECT_EQ(fatalLines[0].substr(fatalLines[0].size() - suffix.size()), suffix) << fatalLines[0];
}

} // namespace
