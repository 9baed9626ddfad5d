#pragma once
// orvane-sim.exe as a child process: output (standard output and error) in a file, stopped with a
// console interrupt as a user's Ctrl+C would. The child gets a console of its own; the interrupt is
// sent by attaching to it for a moment.
#include "WaitUntil.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace hosttest
{

// The folder of the test binaries, orvane-sim.exe and the library.
std::filesystem::path BinDirectory();

using ::WaitUntil;

// Where the instances keep their files (the library's state and account), one folder per instance.
inline const std::filesystem::path kStorageRoot = L"C:\\ProgramData\\VELMAR\\ORVANE.CL.drv";

// Removes every instance's stored files, so that a test does not start with an earlier test's library
// state (a gain it set, say). Wine may keep a file of a host that just ended open for a moment, so
// this tries for up to five seconds; false when they are still there.
bool ClearStoredState();

class CHostProcess
{
public:
    // Starts program (default: orvane-sim.exe beside the tests) with the arguments.
    explicit CHostProcess(const std::wstring& arguments, std::filesystem::path program = {});
    // A child still running is interrupted, then killed if it does not end within 10 s.
    ~CHostProcess();
    CHostProcess(const CHostProcess&) = delete;
    CHostProcess& operator=(const CHostProcess&) = delete;

    bool Started() const { return m_process != nullptr; }
    DWORD ProcessId() const { return m_processId; }
    // Sends Ctrl+C to the child's console.
    bool Interrupt();
    // The exit code once the child has ended within the limit.
    std::optional<DWORD> Wait(std::chrono::milliseconds limit);
    // Everything the child wrote so far.
    std::string Output() const;
    bool OutputContains(const std::string& text) const { return Output().find(text) != std::string::npos; }
    size_t CountInOutput(const std::string& text) const;
    // The child's threads as Wine's debugger sees them (frames of our images as image+offset, for
    // addr2line), for a child that does not end when it should.
    std::string Backtraces() const;
    // Waits until the output contains text.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const;

private:
    HANDLE m_process = nullptr;
    DWORD m_processId = 0;
    std::filesystem::path m_outputFile;
};

} // namespace hosttest
