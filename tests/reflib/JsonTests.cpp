// The JSON client interface: settings requests, errors, and the account set-up with its stored form.
#include "ReflibLibrary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace reflib_test;

namespace
{
class ReflibJson : public ::testing::Test
{
protected:
    CTempDirectory m_dir;
    CProcessRun m_run{m_dir.Utf8()};

    nlohmann::json Ask(const std::string& request, std::int32_t expectedStatus)
    {
        std::int32_t status = -100;
        const std::string answer = m_run.Json(request, &status);
        EXPECT_EQ(expectedStatus, status) << request << " -> " << answer;
        auto json = nlohmann::json::parse(answer, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << answer;
        if (expectedStatus != 0)
        {
            EXPECT_EQ(expectedStatus, json["error"]["code"]) << answer;
        }
        return json;
    }
};
} // namespace

TEST_F(ReflibJson, SetThenGetTheProcessorNameAsTheHostSendsIt)
{
    // Exactly the text the host builds, with an escaped quote and backslash.
    const auto set = Ask(R"({ "set": { "processorname":"Desk \"L\" \\ 1"}})", 0);
    EXPECT_EQ("ok", set["set"]);
    const auto get = Ask(R"({"get":"processorname"})", 0);
    EXPECT_EQ("Desk \"L\" \\ 1", get["get"]["processorname"]);
    const auto all = Ask(R"({"get":null})", 0);
    for (const char* name : {"processorname", "gain_db", "filter_type", "filter_frequency", "filter_q",
                             "filter_gain_db", "delay_frames", "meters", "version", "samplerate", "chunk"})
    {
        EXPECT_TRUE(all["get"].contains(name)) << name;
    }
    EXPECT_EQ(48000, all["get"]["samplerate"]);
    EXPECT_EQ(480, all["get"]["chunk"]);
}

TEST_F(ReflibJson, BadRequestsGetAnErrorAndChangeNothing)
{
    Ask(R"({"set":{"gain_db":-1}})", 0);
    Ask(R"({"set":{"gain_db":)", 1);
    Ask("", 1);
    Ask("[1,2]", 1);
    Ask("{}", 1);
    Ask(R"({"frobnicate":1})", 2);
    Ask(R"({"set":{"gain_db":-2,"volume":3}})", 2);            // unknown key: nothing applied
    Ask(R"({"set":{"gain_db":-2,"filter_type":"notch"}})", 3); // bad value: nothing applied
    Ask(R"({"set":{"gain_db":"-2"}})", 3);
    Ask(R"({"set":{"gain_db":100}})", 3);
    Ask(R"({"set":{"delay_frames":1.5}})", 3);
    Ask(R"({"set":{"processorname":")" + std::string(300, 'x') + "\"}}", 3);
    Ask(R"({"set":[1]})", 3);
    Ask(R"({"get":"nothing"})", 2);
    Ask(R"({"get":[1]})", 3);
    Ask(R"({"set":{"gain_db":-2},"get":"nothing"})", 2); // the set is not carried out either
    Ask(R"({"_auth":{"login":{}}})", 2);
    EXPECT_EQ(-1, Ask(R"({"get":"gain_db"})", 0)["get"]["gain_db"]);

    // Invalid UTF-8 inside a request is malformed JSON, not a crash.
    Ask("{\"set\":{\"processorname\":\"\xff\xfe\"}}", 1);

    // A null request and a null status pointer are both safe.
    const auto& lib = Lib();
    const VelmarHandle client = lib.NewClient(m_run.Handle());
    std::int32_t status = 0;
    const char* answer = lib.ProcessJson(client, nullptr, &status);
    EXPECT_EQ(1, status);
    lib.FreeJsonAnswer(answer);
    lib.FreeJsonAnswer(lib.ProcessJson(client, R"({"get":"chunk"})", nullptr));
    lib.DeleteClient(client);
    answer = lib.ProcessJson(client, R"({"get":"chunk"})", &status); // deleted client
    EXPECT_EQ(5, status);
    lib.FreeJsonAnswer(answer);
}

TEST_F(ReflibJson, AccountIsStoredHashedAndSaltedNeverInClear)
{
    const std::string secret = "s3cr\\et\"pw\n";
    const std::string request =
        R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"s3cr\\et\"pw\n"},"setup_is_admin":true,"unlogged_access":"v"}}})";
    EXPECT_EQ("ok", Ask(request, 0)["_auth"]);
    const std::string stored = ReadFileText(m_dir.Path() / "auth.json");
    EXPECT_EQ(std::string::npos, stored.find("s3cr")) << stored;
    EXPECT_EQ(std::string::npos, stored.find("secret")) << stored;
    const auto json = nlohmann::json::parse(stored);
    EXPECT_EQ(true, json["unlogged_access"]);
    EXPECT_EQ("admin", json["account"]["user"]);
    EXPECT_EQ(true, json["account"]["is_admin"]);
    EXPECT_GE(json["account"]["iterations"].get<int>(), 10000);
    const std::string salt = json["account"]["salt"];
    const std::string hash = json["account"]["hash"];
    EXPECT_EQ(32u, salt.size());
    EXPECT_EQ(64u, hash.size());

    // The same password again: a new salt, so a different hash.
    Ask(request, 0);
    const auto again = nlohmann::json::parse(ReadFileText(m_dir.Path() / "auth.json"));
    EXPECT_NE(salt, again["account"]["salt"]);
    EXPECT_NE(hash, again["account"]["hash"]);

    // Without the grant the grant is withdrawn; a null account removes the account.
    Ask(R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"x"},"setup_is_admin":true}}})",
        0);
    EXPECT_EQ(false, nlohmann::json::parse(ReadFileText(m_dir.Path() / "auth.json"))["unlogged_access"]);
    Ask(R"({"_auth":{"init":{"setup_account":null}}})", 0);
    const auto none = nlohmann::json::parse(ReadFileText(m_dir.Path() / "auth.json"));
    EXPECT_TRUE(none["account"].is_null());
    EXPECT_EQ(false, none["unlogged_access"]);
}

TEST_F(ReflibJson, MalformedAccountSetUpIsRefused)
{
    Ask(R"({"_auth":{"init":{"setup_account":{"user":"admin"}}}})", 3);
    Ask(R"({"_auth":{"init":{"setup_account":{"user":"","secret_clear":"x"}}}})", 3);
    Ask(R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":""}}}})", 3);
    Ask(R"({"_auth":{"init":{"setup_account":null,"unlogged_access":"yes"}}})", 3);
    Ask(R"({"_auth":{"init":{"setup_account":null,"setup_is_admin":"true"}}})", 3);
    Ask(R"({"_auth":{"init":{"setup_account":null,"root":true}}})", 2);
    Ask(R"({"_auth":{"init":"admin"}})", 3);
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() / "auth.json"));
}
