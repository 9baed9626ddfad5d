// The web server over loopback: pages, the JSON endpoint, access rules, requests of other sites,
// password guessing, stop and restart, ports, and the log reports made on the server's threads.
#include "HttpClient.h"
#include "ReflibLibrary.h"
#include "reflib/WebGuard.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace reflib_test;
using namespace std::chrono_literals;

namespace
{
const std::string kSetupWithGrant =
    R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"pa:ss"},"setup_is_admin":true,"unlogged_access":"v"}}})";
const std::string kSetupWithoutGrant =
    R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"pa:ss"},"setup_is_admin":true}}})";
const std::string kOpenSetup = R"({"_auth":{"init":{"setup_account":null,"unlogged_access":"v"}}})";
const CCredentials kAdmin{"admin", "pa:ss"};
const CCredentials kWrongPassword{"admin", "pa:sS"};

class ReflibWeb : public ::testing::Test
{
protected:
    CTempDirectory m_dir;
    CProcessRun m_run{m_dir.Utf8()};
    std::uint16_t m_port = FreePort();
    VelmarHandle m_server = -1;

    void Setup(const std::string& request)
    {
        std::int32_t status = -1;
        m_run.Json(request, &status);
        ASSERT_EQ(0, status);
    }
    void StartServer()
    {
        m_server = Lib().Webserver(m_port, 0, m_run.Handle());
        ASSERT_NE(-1, m_server);
        EXPECT_EQ(1, Lib().Webserver_Status(m_server));
    }
    void TearDown() override
    {
        if (m_server != -1)
        {
            Lib().Webserver_Stop(m_server, 1000);
        }
    }
};

struct CLogLine
{
    std::int32_t severity;
    std::string text;
    DWORD thread;
};
std::mutex g_logMutex;
std::vector<CLogLine> g_log;
void VELMAR_CALL Capture(std::int32_t severity, const char* text)
{
    std::lock_guard lock(g_logMutex);
    g_log.push_back({severity, text, ::GetCurrentThreadId()});
}
} // namespace

TEST_F(ReflibWeb, StatusPageAndJsonEndpointWithUnloggedAccess)
{
    Setup(kSetupWithGrant);
    Setup(R"({"set":{"processorname":"<Main & \"Co\">"}})");
    StartServer();
    const auto gain = [&]
    { return nlohmann::json::parse(m_run.Json(R"({"get":"gain_db"})"))["get"]["gain_db"]; };

    const auto page = HttpRequest(m_port, "GET", "/");
    ASSERT_EQ(200, page.status);
    EXPECT_NE(std::string::npos, page.body.find("&lt;Main &amp; &quot;Co&quot;&gt;")) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("<Main"));
    EXPECT_NE(std::string::npos, page.body.find("gain_db"));

    const auto status = HttpRequest(m_port, "GET", "/status");
    ASSERT_EQ(200, status.status);
    EXPECT_EQ("<Main & \"Co\">", nlohmann::json::parse(status.body)["processorname"]);

    // The grant lets callers look without the account's password, but not change anything, nor let in
    // a wrong password.
    EXPECT_EQ(200, HttpRequest(m_port, "POST", "/json", R"({"get":"gain_db"})").status);
    const auto unlogged = HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-4}})");
    EXPECT_EQ(401, unlogged.status) << unlogged.body;
    EXPECT_NE(std::string::npos, unlogged.wwwAuthenticate.find("Basic"));
    EXPECT_EQ(401, HttpRequest(m_port, "POST", "/json", kOpenSetup).status);
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/status", "", &kWrongPassword).status);
    EXPECT_EQ(401, HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-4}})", &kWrongPassword).status);
    EXPECT_EQ(0, gain());
    const auto set =
        HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-4},"get":"gain_db"})", &kAdmin);
    ASSERT_EQ(200, set.status) << set.body;
    EXPECT_EQ(-4, nlohmann::json::parse(set.body)["get"]["gain_db"]);
    EXPECT_EQ(-4, gain());

    const auto bad = HttpRequest(m_port, "POST", "/json", "{nope", &kAdmin);
    EXPECT_EQ(400, bad.status);
    EXPECT_EQ(1, nlohmann::json::parse(bad.body)["error"]["code"]);
    EXPECT_EQ(405, HttpRequest(m_port, "GET", "/json").status);
    EXPECT_EQ(404, HttpRequest(m_port, "GET", "/nothing/here").status);

    EXPECT_EQ(0, Lib().Webserver_SetAppHealth(m_server, "<degraded>"));
    const char* health = Lib().Webserver_GetAppHealth(m_server);
    ASSERT_NE(nullptr, health);
    EXPECT_STREQ("<degraded>", health);
    Lib().Webserver_FreeString(health);
    EXPECT_NE(std::string::npos, HttpRequest(m_port, "GET", "/").body.find("&lt;degraded&gt;"));

    // With no password configured the administrator chose an open server.
    Setup(kOpenSetup);
    EXPECT_EQ(200, HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-2}})").status);
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/status", "", &kWrongPassword).status); // nothing to log in to
    EXPECT_EQ(-2, gain());
}

TEST_F(ReflibWeb, RequestsOfOtherSitesAreRefused)
{
    Setup(kOpenSetup);
    StartServer();
    const std::string set = R"({"set":{"gain_db":-3}})";
    const auto post = [&](const CHeaders& headers, const CCredentials* credentials = nullptr)
    { return HttpRequest(m_port, "POST", "/json", set, credentials, headers).status; };
    const std::string self = "127.0.0.1:" + std::to_string(m_port);

    // A form or a plain-text body, which any page may post without asking.
    EXPECT_EQ(415, post({{"Content-Type", "text/plain"}}));
    EXPECT_EQ(415, post({{"Content-Type", "application/x-www-form-urlencoded"}}));
    EXPECT_EQ(415, post({{"Content-Type", ""}}));
    EXPECT_EQ(200, post({{"Content-Type", "application/json; charset=utf-8"}}));

    // Sent by a page of another origin.
    EXPECT_EQ(403, post({{"Origin", "http://evil.example"}}));
    EXPECT_EQ(403, post({{"Origin", "https://" + self}}));
    EXPECT_EQ(403, HttpRequest(m_port, "GET", "/status", "", nullptr, {{"Origin", "null"}}).status);
    EXPECT_EQ(200, post({{"Origin", "http://" + self}, {"Host", self}}));

    // Sent to another site's name that resolves here.
    EXPECT_EQ(421, post({{"Host", "evil.example:" + std::to_string(m_port)}}));
    EXPECT_EQ(421, HttpRequest(m_port, "GET", "/", "", nullptr, {{"Host", "evil.example"}}).status);
    EXPECT_EQ(200, post({{"Host", "localhost:" + std::to_string(m_port)}}));
    EXPECT_EQ(200, post({{"Host", "[::1]:" + std::to_string(m_port)}}));
    const auto names = velmar::reflib::LocalComputerNames();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(200, post({{"Host", names.back()}}));

    // Nothing of this changed the page a browser gets from the server itself.
    const auto page = HttpRequest(m_port, "GET", "/", "", nullptr, {{"Host", self}});
    EXPECT_EQ(200, page.status);
    EXPECT_EQ(std::string::npos, page.body.find("<script")) << "a script must post application/json";

    // With the account's credentials any name will do.
    Setup(kSetupWithoutGrant);
    EXPECT_EQ(200, post({{"Host", "renamed.example"}}, &kAdmin));
    EXPECT_EQ(401, post({{"Host", "localhost"}}));
}

TEST_F(ReflibWeb, PasswordGuessingIsSlowedDownPerAddress)
{
    Setup(kSetupWithoutGrant);
    StartServer();
    // After the fifth failure in a row even the right password waits a second. Only an answer that
    // came within that second shows it: on a slower round the wait has run out, the right password
    // gets in at once and starts the count again.
    bool sawWait = false;
    for (int round = 0; round < 3 && !sawWait; ++round)
    {
        std::chrono::steady_clock::time_point fifth;
        for (int attempt = 0; attempt < 5; ++attempt)
        {
            fifth = std::chrono::steady_clock::now();
            ASSERT_EQ(401, HttpRequest(m_port, "GET", "/status", "", &kWrongPassword).status) << attempt;
        }
        const auto right = HttpRequest(m_port, "GET", "/status", "", &kAdmin);
        const bool withinTheWait = std::chrono::steady_clock::now() - fifth < 1s;
        if (right.status == 429)
        {
            EXPECT_EQ("1", right.retryAfter);
            sawWait = true;
        }
        else
        {
            ASSERT_FALSE(withinTheWait) << right.status;
            ASSERT_EQ(200, right.status);
        }
    }
    EXPECT_TRUE(sawWait);
    // A caller without credentials is not slowed down.
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/status").status);
}

TEST_F(ReflibWeb, AccountRequiredOnceSetUpWithoutGrant)
{
    Setup(kSetupWithGrant);
    Setup(kSetupWithoutGrant); // a later set-up withdraws the grant
    StartServer();

    const auto anonymous = HttpRequest(m_port, "GET", "/");
    EXPECT_EQ(401, anonymous.status);
    EXPECT_NE(std::string::npos, anonymous.wwwAuthenticate.find("Basic"));
    const CCredentials wrongPassword{"admin", "pa:sS"};
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/", "", &wrongPassword).status);
    const CCredentials wrongUser{"root", "pa:ss"};
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/", "", &wrongUser).status);
    EXPECT_EQ(401, HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-9}})").status);
    EXPECT_EQ(0, nlohmann::json::parse(m_run.Json(R"({"get":"gain_db"})"))["get"]["gain_db"]);

    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/", "", &kAdmin).status);
    EXPECT_EQ(200, HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-9}})", &kAdmin).status);
    EXPECT_EQ(-9, nlohmann::json::parse(m_run.Json(R"({"get":"gain_db"})"))["get"]["gain_db"]);
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/", "", &kAdmin).status); // cached check still right
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/", "", &wrongPassword).status);

    // A password change over the network takes effect at once.
    const auto change =
        HttpRequest(m_port, "POST", "/json",
                    R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"new"}}}})", &kAdmin);
    EXPECT_EQ(200, change.status) << change.body;
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/", "", &kAdmin).status);
    const CCredentials renewed{"admin", "new"};
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/", "", &renewed).status);
}

TEST_F(ReflibWeb, WithoutAccountOrGrantNobodyGetsIn)
{
    StartServer();
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/").status);
    EXPECT_EQ(401, HttpRequest(m_port, "GET", "/status", "", &kAdmin).status);
}

TEST_F(ReflibWeb, ReadOnlyAccountMayLookButNotChange)
{
    Setup(
        R"({"_auth":{"init":{"setup_account":{"user":"viewer","secret_clear":"v"},"setup_is_admin":false}}})");
    StartServer();
    const CCredentials viewer{"viewer", "v"};
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/", "", &viewer).status);
    EXPECT_EQ(200, HttpRequest(m_port, "POST", "/json", R"({"get":"gain_db"})", &viewer).status);
    const auto refused = HttpRequest(m_port, "POST", "/json", R"({"set":{"gain_db":-1}})", &viewer);
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ(403, HttpRequest(m_port, "POST", "/json", kSetupWithGrant, &viewer).status);
}

TEST_F(ReflibWeb, StopAndRestartOnTheSamePort)
{
    Setup(kSetupWithGrant);
    for (int round = 0; round < 3; ++round)
    {
        StartServer();
        EXPECT_EQ(200, HttpRequest(m_port, "GET", "/status").status) << "round " << round;
        Lib().Webserver_Stop(m_server, 1000);
        EXPECT_EQ(0, Lib().Webserver_Status(m_server));
        m_server = -1;
        EXPECT_FALSE(HttpRequest(m_port, "GET", "/status").connected) << "round " << round;
    }
}

TEST_F(ReflibWeb, PortsInUseOrInvalidAreRefused)
{
    const auto& lib = Lib();
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::tcp::v4(), m_port}, false);
        EXPECT_EQ(-1, lib.Webserver(m_port, 0, m_run.Handle()));
    }
    StartServer();
    EXPECT_EQ(-1, lib.Webserver(m_port, 0, m_run.Handle())); // our own server holds it
    EXPECT_EQ(-1, lib.Webserver_tcp(m_port, m_run.Handle()));
    EXPECT_EQ(-1, lib.Webserver(70000, 0, m_run.Handle()));
    EXPECT_EQ(-1, lib.Webserver(0, 0, m_run.Handle()));
    EXPECT_EQ(-1, lib.Webserver(0, 70000, m_run.Handle()));
    EXPECT_EQ(-1, lib.Webserver_tcp2(FreePort(), 0, m_run.Handle(), "not an address"));

    // HTTPS alone without a certificate configured: a handle whose status shows neither listener.
    const VelmarHandle httpsOnly = lib.Webserver(0, FreePort(), m_run.Handle());
    ASSERT_NE(-1, httpsOnly);
    EXPECT_EQ(0, lib.Webserver_Status(httpsOnly));
    lib.Webserver_Stop(httpsOnly, 1000);

    Setup(kSetupWithGrant);
    const std::uint16_t other = FreePort();
    const VelmarHandle bound = lib.Webserver_tcp2(other, 0, m_run.Handle(), "127.0.0.1");
    ASSERT_NE(-1, bound);
    EXPECT_EQ(1, lib.Webserver_Status(bound));
    EXPECT_EQ(200, HttpRequest(other, "GET", "/status").status);
    lib.Webserver_Stop(bound, 1000);
    lib.Webserver_Stop(bound, 1000); // twice
}

TEST_F(ReflibWeb, EndingTheProcessStopsItsServer)
{
    Setup(kSetupWithGrant);
    const auto& lib = Lib();
    const VelmarHandle process = lib.InitProcess(m_dir.Utf8().c_str(), 0);
    ASSERT_NE(0, process);
    const VelmarHandle server = lib.Webserver_tcp(m_port, process);
    ASSERT_NE(-1, server);
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/status").status);
    lib.ExitProcess(process);
    EXPECT_EQ(0, lib.Webserver_Status(server));
    EXPECT_FALSE(HttpRequest(m_port, "GET", "/status").connected);
}

TEST_F(ReflibWeb, ReportsReachTheCallbackFromServerThreadsUpToTheSetSeverity)
{
    Setup(kSetupWithGrant);
    const auto& lib = Lib();
    {
        std::lock_guard lock(g_logMutex);
        g_log.clear();
    }
    lib.SetLoggerCallback(&Capture);
    lib.SetLogSeverity(5);
    StartServer();
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/status").status);
    bool fromServerThread = false;
    {
        std::lock_guard lock(g_logMutex);
        for (const auto& line : g_log)
        {
            EXPECT_LE(line.severity, 5);
            if (line.text.find("HTTP GET /status") != std::string::npos &&
                line.thread != ::GetCurrentThreadId())
            {
                fromServerThread = true;
            }
        }
        g_log.clear();
    }
    EXPECT_TRUE(fromServerThread);

    lib.SetLogSeverity(3);
    EXPECT_EQ(200, HttpRequest(m_port, "GET", "/status").status);
    lib.Webserver_Stop(m_server, 1000); // logs at INFO: dropped
    m_server = -1;
    EXPECT_EQ(-1, lib.Webserver(70000, 0, m_run.Handle())); // logs at ERROR: kept
    lib.SetLoggerCallback(nullptr);
    lib.SetLogSeverity(4);
    std::lock_guard lock(g_logMutex);
    ASSERT_FALSE(g_log.empty());
    for (const auto& line : g_log)
    {
        EXPECT_LE(line.severity, 3) << line.text;
    }
}
