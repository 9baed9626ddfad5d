#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

namespace
{

int g_wideCalls = 0;
int WINAPI CountingWideToMulti(UINT cp, DWORD flags, LPCWCH in, int inLength, LPSTR out, int outLength, LPCCH def,
                               LPBOOL used)
{
    ++g_wideCalls;
    return ::WideCharToMultiByte(cp, flags, in, inLength, out, outLength, def, used);
}

TEST(TextConversionTest, EmptyTextMakesNoPlatformCall)
{
    g_wideCalls = 0;
    CApiOverride guard(platform::Api().WideCharToMultiByte, &CountingWideToMulti);
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(g_wideCalls, 0);
    EXPECT_EQ(WideToUtf8(L"a"), "a");
    EXPECT_EQ(g_wideCalls, 2);
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(TextConversionTest, CharactersOutsideTheBasicPlaneRoundTrip)
{
    const std::wstring wide = L"A\U0001F3B5\u00e9\u4e2d"; // letter, musical note, e acute, CJK
    const std::string utf8 = WideToUtf8(wide);
    EXPECT_EQ(utf8, "A\xF0\x9F\x8E\xB5\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(Utf8ToWide(utf8), wide);
}

TEST(TextConversionTest, EmbeddedNulsConvertLikeAnyOtherCharacter)
{
    const std::wstring wide(L"a\0b\0", 4);
    const std::string utf8 = WideToUtf8(wide);
    ASSERT_EQ(utf8.size(), 4u);
    EXPECT_EQ(utf8, std::string("a\0b\0", 4));
    EXPECT_EQ(Utf8ToWide(utf8), wide);
}

TEST(TextConversionTest, InvalidUtf8BecomesTheReplacementCharacter)
{
    const std::wstring wide = Utf8ToWide("a\xFF" "b");
    EXPECT_EQ(wide, L"a\uFFFDb");
}

TEST(SystemErrorTest, ZeroIsNoError)
{
    EXPECT_EQ(FormatSystemError(0), L"No error");
}

TEST(SystemErrorTest, AccessDeniedKeepsItsLineBreak)
{
    const std::wstring text = FormatSystemError(ERROR_ACCESS_DENIED);
    ASSERT_GE(text.size(), 2u);
    EXPECT_NE(text.find(L"ccess"), std::wstring::npos) << std::string(text.begin(), text.end());
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST(SystemErrorTest, CodeWithoutTextGivesEmpty)
{
    EXPECT_EQ(FormatSystemError(0x2FFFFFFF), L"");
}

TEST(SystemErrorTest, HexIsLowerCaseWithoutLeadingZeros)
{
    EXPECT_EQ(ToHex(0), L"0");
    EXPECT_EQ(ToHex(0x103), L"103");
    EXPECT_EQ(ToHex(0xE000020B), L"e000020b");
    EXPECT_EQ(ToHex(0xFFFFFFFF), L"ffffffff");
}

} // namespace
