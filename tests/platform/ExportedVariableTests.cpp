// A variable exported for the library is the same in the C runtime's copy and the process environment,
// through every change.
#include "ApiOverride.h"

#include "platform/ExportedVariable.h"
#include "platform/SystemApi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace
{

constexpr wchar_t kName[] = L"ORVANE_TEST_EXPORTED";

// Every change of the process environment, as (name, value or absent).
std::vector<std::pair<std::wstring, std::optional<std::wstring>>> g_changes;
BOOL WINAPI RecordingSetEnvironment(LPCWSTR name, LPCWSTR value)
{
    g_changes.emplace_back(name, value != nullptr ? std::optional<std::wstring>(value) : std::nullopt);
    return ::SetEnvironmentVariableW(name, value);
}

std::optional<std::wstring> Runtime()
{
    const wchar_t* value = _wgetenv(kName);
    return value != nullptr ? std::optional<std::wstring>(value) : std::nullopt;
}

std::optional<std::wstring> Process()
{
    wchar_t buffer[64] = {};
    return ::GetEnvironmentVariableW(kName, buffer, 64) != 0 ? std::optional<std::wstring>(buffer)
                                                             : std::nullopt;
}

TEST(ExportedVariable, BothEnvironmentsFollowEveryChange)
{
    _wputenv_s(kName, L"inherited");
    ::SetEnvironmentVariableW(kName, L"inherited");
    g_changes.clear();
    CApiOverride recording(platform::Api().SetEnvironmentVariableW, &RecordingSetEnvironment);
    platform::CExportedVariable variable(kName);

    // Never set by the program: an empty value leaves the inherited one.
    variable.Update(L"");
    EXPECT_TRUE(g_changes.empty());
    EXPECT_EQ(Runtime(), std::optional<std::wstring>(L"inherited"));

    variable.Update(L"C:\\cert.pem");
    variable.Update(L"C:\\other.pem");
    EXPECT_EQ(Runtime(), std::optional<std::wstring>(L"C:\\other.pem"));
    EXPECT_EQ(Process(), std::optional<std::wstring>(L"C:\\other.pem"));

    // Removed by the program from both.
    variable.Update(L"");
    variable.Update(L"");
    EXPECT_EQ(Runtime(), std::nullopt);
    EXPECT_EQ(Process(), std::nullopt);
    using Change = std::pair<std::wstring, std::optional<std::wstring>>;
    EXPECT_EQ(g_changes, (std::vector<Change>{
                             {kName, L"C:\\cert.pem"}, {kName, L"C:\\other.pem"}, {kName, std::nullopt}}));
}

} // namespace
