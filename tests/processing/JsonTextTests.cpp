// The texts the host sends to the library, against literal expectations.
#include "processing/DeviceNaming.h"
#include "processing/JsonText.h"
#include "processing/WebServer.h"

#include <gtest/gtest.h>

TEST(JsonText, EscapesQuoteBackslashAndTheFiveNamedControls)
{
    EXPECT_EQ(JsonEscape("a\"b\\c\b\f\n\r\td"), "a\\\"b\\\\c\\b\\f\\n\\r\\td");
    // Other control bytes as \u00XX (JSON allows none raw); UTF-8 sequences pass unchanged.
    EXPECT_EQ(JsonEscape(std::string("\x00\x01\x1f\xc3\xa9", 5)), "\\u0000\\u0001\\u001f\xc3\xa9");
}

TEST(JsonText, AccountSetupAndProcessorNameRequests)
{
    EXPECT_EQ(AccountSetupRequest(L"", true), R"({"_auth":{"init":{"setup_account":null}}})");
    EXPECT_EQ(
        AccountSetupRequest(L"p\"w", false),
        R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"p\"w"},"setup_is_admin":true}}})");
    EXPECT_EQ(AccountSetupRequest(L"\u00e9\n", true),
              "{\"_auth\":{\"init\":{\"setup_account\":{\"user\":\"admin\",\"secret_clear\":\"\xc3\xa9\\n\"},"
              "\"setup_is_admin\":true,\"unlogged_access\":\"v\"}}}");
    EXPECT_EQ(ProcessorNameRequest(L"A\\B"), R"({ "set": { "processorname":"A\\B"}})");
}
