// The web server's TLS listener: the configured certificate, the same pages and access rules as HTTP,
// a certificate read at each start, and certificates that cannot be used.
#include "HttpClient.h"
#include "HttpsClient.h"
#include "ReflibLibrary.h"
#include "TestCertificate.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <vector>

using namespace reflib_test;

namespace
{
const std::string kSetupWithGrant =
    R"({"_auth":{"init":{"setup_account":{"user":"admin","secret_clear":"pa:ss"},"setup_is_admin":true,"unlogged_access":"v"}}})";
const CCredentials kAdmin{"admin", "pa:ss"};

std::mutex g_logMutex;
std::vector<std::string> g_errors;
void VELMAR_CALL CaptureErrors(std::int32_t severity, const char* text)
{
    if (severity <= 2)
    {
        std::lock_guard lock(g_logMutex);
        g_errors.emplace_back(text);
    }
}

void UseCertificate(const std::filesystem::path& certificate, const std::filesystem::path& key)
{
    SetEnvironmentVariableW(L"SSL_CERTIFICATE_PATH", certificate.empty() ? nullptr : certificate.c_str());
    SetEnvironmentVariableW(L"SSL_PRIVATE_PATH", key.empty() ? nullptr : key.c_str());
}

class ReflibTls : public ::testing::Test
{
protected:
    CTempDirectory m_dir;
    CProcessRun m_run{m_dir.Utf8()};
    CTestCertificate m_first = MakeTestCertificate("first", m_dir.Path());
    CTestCertificate m_second = MakeTestCertificate("second", m_dir.Path());
    std::uint16_t m_http = FreePort();
    std::uint16_t m_https = FreePort();

    void SetUp() override
    {
        std::int32_t status = -1;
        m_run.Json(kSetupWithGrant, &status);
        ASSERT_EQ(0, status);
    }
    void TearDown() override { UseCertificate({}, {}); }
};

TEST_F(ReflibTls, ServesThePagesAndRulesOfHttpWithTheCertificateOfItsStart)
{
    const auto& lib = Lib();
    UseCertificate(m_first.certificateFile, m_first.keyFile);
    VelmarHandle server = lib.Webserver(m_http, m_https, m_run.Handle());
    ASSERT_NE(-1, server);
    EXPECT_EQ(3, lib.Webserver_Status(server));

    // Unlogged callers may look, changes need the account; the origin is this listener's, https.
    const auto status = HttpsRequest(m_https, m_first.certificatePem, "GET", "/status");
    ASSERT_EQ(200, status.status) << status.error;
    EXPECT_NE(std::string::npos, status.body.find("gain_db"));
    EXPECT_EQ(200, HttpsRequest(m_https, m_first.certificatePem, "GET", "/").status);
    const std::string change = R"({"set":{"gain_db":-3}})";
    EXPECT_EQ(401, HttpsRequest(m_https, m_first.certificatePem, "POST", "/json", change).status);
    const std::string origin = "https://127.0.0.1:" + std::to_string(m_https);
    EXPECT_EQ(200, HttpsRequest(m_https, m_first.certificatePem, "POST", "/json", change, &kAdmin,
                                {{"Origin", origin}})
                       .status);
    EXPECT_EQ(403, HttpsRequest(m_https, m_first.certificatePem, "POST", "/json", change, &kAdmin,
                                {{"Origin", "http://127.0.0.1:" + std::to_string(m_https)}})
                       .status);
    EXPECT_EQ(415, HttpsRequest(m_https, m_first.certificatePem, "POST", "/json", change, &kAdmin,
                                {{"Content-Type", "text/plain"}})
                       .status);
    EXPECT_EQ(421, HttpsRequest(m_https, m_first.certificatePem, "GET", "/status", "", nullptr,
                                {{"Host", "rebound.example"}})
                       .status);
    // Plain HTTP stays on its own port; the TLS port speaks only TLS.
    EXPECT_EQ(200, HttpRequest(m_http, "GET", "/status").status);
    EXPECT_EQ(0, HttpRequest(m_https, "GET", "/status").status);
    EXPECT_FALSE(HttpsRequest(m_http, m_first.certificatePem, "GET", "/status").handshake);

    // The certificate is read when a server starts: the replaced one is served from the next start on.
    UseCertificate(m_second.certificateFile, m_second.keyFile);
    EXPECT_TRUE(HttpsRequest(m_https, m_first.certificatePem, "GET", "/status").handshake);
    lib.Webserver_Stop(server, 1000);
    server = lib.Webserver(0, m_https, m_run.Handle());
    ASSERT_NE(-1, server);
    EXPECT_EQ(2, lib.Webserver_Status(server));
    EXPECT_FALSE(HttpsRequest(m_https, m_first.certificatePem, "GET", "/status").handshake);
    EXPECT_EQ(200, HttpsRequest(m_https, m_second.certificatePem, "GET", "/status").status);
    lib.Webserver_Stop(server, 1000);
}

TEST_F(ReflibTls, AnUnusableCertificateFailsOnlyTheHttpsListener)
{
    const auto& lib = Lib();
    const std::filesystem::path missing = m_dir.Path() / L"missing.pem";
    const std::filesystem::path garbage = m_dir.Path() / L"garbage.pem";
    {
        std::ofstream(garbage) << "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
    }
    struct CCase
    {
        const char* what;
        std::filesystem::path certificate;
        std::filesystem::path key;
        const char* logged;
    };
    const CCase cases[] = {
        {"nothing configured", {}, {}, "SSL_CERTIFICATE_PATH is not set"},
        {"no key configured", m_first.certificateFile, {}, "SSL_PRIVATE_PATH is not set"},
        {"missing file", missing, m_first.keyFile, "cannot be read"},
        {"not a certificate", garbage, m_first.keyFile, "no usable PEM certificate"},
        {"a key that is not PEM", m_first.certificateFile, m_first.certificateFile, "no usable PEM key"},
        {"another certificate's key", m_first.certificateFile, m_second.keyFile, "no usable PEM key"},
    };
    lib.SetLoggerCallback(&CaptureErrors);
    for (const CCase& test : cases)
    {
        {
            std::lock_guard lock(g_logMutex);
            g_errors.clear();
        }
        UseCertificate(test.certificate, test.key);
        const VelmarHandle server = lib.Webserver(m_http, m_https, m_run.Handle());
        ASSERT_NE(-1, server) << test.what;
        EXPECT_EQ(1, lib.Webserver_Status(server)) << test.what;
        EXPECT_EQ(200, HttpRequest(m_http, "GET", "/status").status) << test.what;
        EXPECT_FALSE(HttpsRequest(m_https, m_first.certificatePem, "GET", "/status").connected) << test.what;
        lib.Webserver_Stop(server, 1000);
        std::lock_guard lock(g_logMutex);
        ASSERT_EQ(1u, g_errors.size()) << test.what;
        EXPECT_NE(std::string::npos,
                  g_errors[0].find("cannot serve HTTPS on port " + std::to_string(m_https)))
            << g_errors[0];
        EXPECT_NE(std::string::npos, g_errors[0].find(test.logged)) << test.what << ": " << g_errors[0];
    }
    lib.SetLoggerCallback(nullptr);

    // HTTPS alone without a usable certificate: a server that listens nowhere.
    UseCertificate(missing, missing);
    const VelmarHandle httpsOnly = lib.Webserver(0, m_https, m_run.Handle());
    ASSERT_NE(-1, httpsOnly);
    EXPECT_EQ(0, lib.Webserver_Status(httpsOnly));
    lib.Webserver_Stop(httpsOnly, 1000);
}
} // namespace
