// Text outside ASCII reaches a console as UTF-16 and a redirected handle as UTF-8, whole.
#include "ApiOverride.h"

#include "platform/ConsoleText.h"
#include "platform/SystemApi.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const HANDLE kFakeHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x4242));
bool g_console = false;
std::wstring g_console_text;
std::string g_file_bytes;

HANDLE WINAPI FakeStdHandle(DWORD)
{
    return kFakeHandle;
}
BOOL WINAPI FakeConsoleMode(HANDLE handle, LPDWORD mode)
{
    *mode = ENABLE_PROCESSED_OUTPUT;
    return handle == kFakeHandle && g_console;
}
// Takes at most three characters or bytes a call, as a console or pipe may.
BOOL WINAPI ShortWriteConsole(HANDLE, const void* text, DWORD count, LPDWORD written, LPVOID)
{
    *written = count < 3 ? count : 3;
    g_console_text.append(static_cast<const wchar_t*>(text), *written);
    return TRUE;
}
BOOL WINAPI ShortWriteFile(HANDLE, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    *written = count < 3 ? count : 3;
    g_file_bytes.append(static_cast<const char*>(data), *written);
    return TRUE;
}

TEST(ConsoleText, ConsoleGetsUtf16AndARedirectedHandleUtf8)
{
    auto& api = platform::Api();
    CApiOverride stdHandle(api.GetStdHandle, &FakeStdHandle);
    CApiOverride consoleMode(api.GetConsoleMode, &FakeConsoleMode);
    CApiOverride writeConsole(api.WriteConsoleW, &ShortWriteConsole);
    CApiOverride writeFile(api.WriteFile, &ShortWriteFile);
    const std::wstring text = L"Studio Ümlaut \u00e9\u4e2d\U0001F3B5\n";

    g_console = true;
    platform::WriteStandardText(STD_OUTPUT_HANDLE, text);
    EXPECT_EQ(g_console_text, text);
    EXPECT_TRUE(g_file_bytes.empty());

    g_console = false;
    platform::WriteStandardText(STD_ERROR_HANDLE, text);
    EXPECT_EQ(g_file_bytes, "Studio \xc3\x9cmlaut \xc3\xa9\xe4\xb8\xad\xf0\x9f\x8e\xb5\r\n");
}

} // namespace
