#include "HttpClient.h"
#include "HttpRequestBuilder.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>

namespace reflib_test
{
namespace
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::string Base64(const std::string& bytes)
{
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3)
    {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j)
        {
            group = (group << 8) | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        }
        for (std::size_t j = 0; j < 4; ++j)
        {
            text.push_back(j <= n ? alphabet[(group >> (18 - 6 * j)) & 0x3F] : '=');
        }
    }
    return text;
}
} // namespace

CHttpResult HttpRequest(std::uint16_t port, const std::string& method, const std::string& target,
                        const std::string& body, const CCredentials* credentials, const CHeaders& headers)
{
    asio::io_context io;
    beast::tcp_stream stream(io);
    const auto request = BuildRequest(method, target, "127.0.0.1", body, credentials, headers);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    CHttpResult result;
    stream.expires_after(std::chrono::seconds(20));
    stream.async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                         [&](beast::error_code error)
                         {
                             if (error)
                             {
                                 return;
                             }
                             result.connected = true;
                             http::async_write(
                                 stream, request,
                                 [&](beast::error_code writeError, std::size_t)
                                 {
                                     if (writeError)
                                     {
                                         return;
                                     }
                                     http::async_read(
                                         stream, buffer, response,
                                         [&](beast::error_code readError, std::size_t)
                                         {
                                             if (!readError)
                                             {
                                                 result.status = static_cast<int>(response.result_int());
                                                 result.body = response.body();
                                                 result.wwwAuthenticate =
                                                     std::string(response[http::field::www_authenticate]);
                                                 result.retryAfter =
                                                     std::string(response[http::field::retry_after]);
                                             }
                                         });
                                 });
                         });
    io.run();
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream.socket().close(ignored);
    return result;
}

std::string BasicAuthorization(const CCredentials& credentials)
{
    return "Basic " + Base64(credentials.user + ":" + credentials.password);
}

std::uint16_t FreePort()
{
    asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(tcp::v4(), 0), false);
    return probe.local_endpoint().port();
}
} // namespace reflib_test
