#include "PipeDevice.h"

namespace
{
CPipeDevice* g_device = nullptr;
} // namespace

CPipeDevice::CPipeDevice(std::wstring link)
    : m_link(std::move(link)),
      m_pipeName(L"\\\\.\\pipe\\orvane-driver-tests-" + std::to_wstring(GetCurrentProcessId())),
      m_open(driver::Devices().CreateFileW, &Open)
{
    g_device = this;
    Listen();
}

CPipeDevice::~CPipeDevice()
{
    if (m_server != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_server);
    }
    g_device = nullptr;
}

void CPipeDevice::Listen()
{
    if (m_server != INVALID_HANDLE_VALUE)
    {
        CloseHandle(m_server);
    }
    m_server = CreateNamedPipeW(m_pipeName.c_str(), PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                65536, 65536, 0, nullptr);
}

bool CPipeDevice::Accept()
{
    return ConnectNamedPipe(m_server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
}

bool CPipeDevice::Write(const std::vector<std::uint8_t>& block)
{
    DWORD written = 0;
    if (!WriteFile(m_server, block.data(), static_cast<DWORD>(block.size()), &written, nullptr))
    {
        lastError = GetLastError();
        return false;
    }
    return written == block.size();
}

std::vector<std::uint8_t> CPipeDevice::Read(DWORD size)
{
    std::vector<std::uint8_t> block(size);
    DWORD read = 0;
    if (!ReadFile(m_server, block.data(), size, &read, nullptr))
    {
        lastError = GetLastError();
        return {};
    }
    block.resize(read);
    return block;
}

HANDLE WINAPI CPipeDevice::Open(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile)
{
    CPipeDevice& self = *g_device;
    ++self.openCalls;
    self.openedPath = path;
    self.openedAccess = access;
    self.openedShare = share;
    self.openedDisposition = disposition;
    self.openedFlags = flags;
    if (self.failOpen || self.openedPath != self.m_link + L"\\Control")
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        self.openedHandle = INVALID_HANDLE_VALUE;
        return INVALID_HANDLE_VALUE;
    }
    self.openedHandle =
        ::CreateFileW(self.m_pipeName.c_str(), access, share, security, disposition, flags, templateFile);
    return self.openedHandle;
}
