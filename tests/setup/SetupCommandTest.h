#pragma once
// Runs the main routine in this process over the simulated device world, with the real setup commands,
// the console text captured and the log in the test capture.
#include "app/FrontOperations.h"
#include "setup/RebootPrompt.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

class SetupCommandTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs "orvane" followed by the words; returns the exit code. out and err hold the console text.
    int Run(const std::vector<const wchar_t*>& words);

    std::vector<std::wstring> Logged(velmar::LogSeverity severity) const { return m_log->At(severity); }
    // Everything logged, whatever the severity.
    std::size_t LogLines() const { return m_log->Lines().size(); }
    void ClearLog() { m_log->Clear(); }

    // The full path the commands resolve the package to, and the storage root.
    static std::wstring InfPath();
    static std::filesystem::path StorageRoot();
    // A storage directory with a file in it.
    static void MakeStorage(const std::wstring& instanceId);
    // GetFullPathNameW for a path of 260 characters or more.
    static DWORD WINAPI LongFullPath(LPCWSTR, DWORD, LPWSTR, LPWSTR*) { return MAX_PATH; }
    // How a message shows an error code: "5 Access is denied.\r\n".
    static std::wstring ErrorForm(unsigned long error);

    std::wstring out;
    std::wstring err;

private:
    CLogCapture* m_log = nullptr;
    FrontOperations m_saved;
};
