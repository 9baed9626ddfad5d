// The web server's TLS listener under connections that are not TLS or not finished: random bytes,
// damaged and cut-off handshakes, plain HTTP sent to the TLS port, connections that stop halfway and
// stay open, and random requests over a finished handshake. The server must close what it cannot use
// and answer both listeners normally afterwards.
#include "../reflib/HttpClient.h"
#include "../reflib/HttpsClient.h"
#include "../reflib/ReflibLibrary.h"
#include "../reflib/TestCertificate.h"

#include "FuzzReport.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace reflib_test;

constexpr int kConnectionsPerSeed = 60;

// A real client's first flight (its ClientHello), made with memory BIOs: what the damage starts from.
std::string ClientHello()
{
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                    SSL_CTX_free);
    const std::unique_ptr<SSL, decltype(&SSL_free)> client(SSL_new(context.get()), SSL_free);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(client.get(), in, out); // owned by the client from here on
    SSL_connect(client.get());          // stops, wanting the server's answer
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    return std::string(data, static_cast<std::size_t>(size > 0 ? size : 0));
}

struct CExchange
{
    bool closedByServer = false; // the server ended the connection (rather than our time-out)
    std::string answer;
};

// Sends `bytes`, ends the sending side when `finish`, and reads until the server closes (at most 5 s).
CExchange Send(asio::io_context& io, std::uint16_t port, const std::string& bytes, bool finish)
{
    tcp::socket socket(io);
    CExchange result;
    boost::system::error_code error;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, error);
    if (error)
    {
        return result;
    }
    const DWORD timeoutMs = 5000;
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof timeoutMs);
    asio::write(socket, asio::buffer(bytes), error);
    if (finish)
    {
        socket.shutdown(tcp::socket::shutdown_send, error);
    }
    char buffer[4096];
    for (;;)
    {
        const std::size_t got = socket.read_some(asio::buffer(buffer), error);
        result.answer.append(buffer, got);
        if (error)
        {
            result.closedByServer = error == asio::error::eof || error == asio::error::connection_reset ||
                                    error == asio::error::connection_aborted;
            break;
        }
    }
    return result;
}

class TlsListenerFuzz : public ::testing::TestWithParam<std::uint32_t>
{
protected:
    void TearDown() override
    {
        SetEnvironmentVariableW(L"SSL_CERTIFICATE_PATH", nullptr);
        SetEnvironmentVariableW(L"SSL_PRIVATE_PATH", nullptr);
    }
};

TEST_P(TlsListenerFuzz, BrokenConnectionsAreClosedAndTheServerAnswersAfterwards)
{
    const auto& lib = Lib();
    CTempDirectory dir;
    CProcessRun run(dir.Utf8());
    std::int32_t status = -1;
    run.Json(R"({"_auth":{"init":{"setup_account":null,"unlogged_access":"v"}}})", &status);
    ASSERT_EQ(0, status);
    const CTestCertificate certificate = MakeTestCertificate("fuzz", dir.Path());
    SetEnvironmentVariableW(L"SSL_CERTIFICATE_PATH", certificate.certificateFile.c_str());
    SetEnvironmentVariableW(L"SSL_PRIVATE_PATH", certificate.keyFile.c_str());
    const std::uint16_t http = FreePort();
    const std::uint16_t https = FreePort();
    const VelmarHandle server = lib.Webserver(http, https, run.Handle());
    ASSERT_NE(-1, server);
    ASSERT_EQ(3, lib.Webserver_Status(server));

    const std::string hello = ClientHello();
    ASSERT_GT(hello.size(), 40u);
    std::mt19937 random(GetParam());
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> halfOpen;
    for (int i = 0; i < kConnectionsPerSeed; ++i)
    {
        const std::string where = fuzz::Where(GetParam(), i);
        const int kind = static_cast<int>(random() % 5);
        std::string bytes;
        switch (kind)
        {
        case 0: // random bytes
            bytes.resize(random() % 2048);
            for (char& c : bytes)
            {
                c = static_cast<char>(random());
            }
            break;
        case 1: // a handshake with damaged bytes
            bytes = hello;
            for (int flips = 1 + static_cast<int>(random() % 8); flips > 0; --flips)
            {
                bytes[random() % bytes.size()] = static_cast<char>(random());
            }
            break;
        case 2: // plain HTTP to the TLS port
            bytes = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            break;
        case 3: // a handshake cut off, and the connection left open
        {
            auto socket = std::make_unique<tcp::socket>(io);
            boost::system::error_code error;
            socket->connect({asio::ip::make_address("127.0.0.1"), https}, error);
            ASSERT_FALSE(error) << where;
            asio::write(*socket, asio::buffer(hello.data(), random() % hello.size()), error);
            halfOpen.push_back(std::move(socket));
            continue;
        }
        default: // a random request over a finished handshake
        {
            std::string body(random() % 512, '\0');
            for (char& c : body)
            {
                c = static_cast<char>(random());
            }
            const auto answer = HttpsRequest(https, certificate.certificatePem, "POST", "/json", body);
            EXPECT_TRUE(answer.handshake) << where << ": " << answer.error;
            EXPECT_TRUE(answer.status == 400 || answer.status == 200) << where << " " << answer.status;
            continue;
        }
        }
        // A damaged handshake may still be a valid one that waits for our next flight: it gets the end
        // of our side, the others sometimes do.
        const bool finish = kind == 1 || random() % 2 == 0;
        const CExchange exchange = Send(io, https, bytes, finish);
        EXPECT_TRUE(exchange.closedByServer) << where << " kind " << kind << ": " << fuzz::Visible(bytes);
        EXPECT_EQ(std::string::npos, exchange.answer.find("HTTP/1.")) << where << ": answered in plain text";
    }

    // With the cut-off handshakes still open, both listeners answer.
    const auto secure = HttpsRequest(https, certificate.certificatePem, "GET", "/status");
    EXPECT_EQ(200, secure.status) << secure.error;
    EXPECT_EQ(200, HttpRequest(http, "GET", "/status").status);
    EXPECT_EQ(3, lib.Webserver_Status(server));
    lib.Webserver_Stop(server, 1000);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TlsListenerFuzz, ::testing::ValuesIn(fuzz::kSeeds));
} // namespace
