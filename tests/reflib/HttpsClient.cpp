#include "HttpsClient.h"
#include "HttpRequestBuilder.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/ssl.h>

#include <chrono>

namespace reflib_test
{
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

CHttpsResult HttpsRequest(std::uint16_t port, const std::string& trustedCertificatePem,
                          const std::string& method, const std::string& target, const std::string& body,
                          const CCredentials* credentials, const CHeaders& headers)
{
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    CHttpsResult result;
    ssl::context context(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
    beast::error_code error;
    context.add_certificate_authority(asio::buffer(trustedCertificatePem), error);
    if (error)
    {
        result.error = "trusted certificate: " + error.message();
        return result;
    }
    context.set_verify_mode(ssl::verify_peer);

    const auto request =
        BuildRequest(method, target, "127.0.0.1:" + std::to_string(port), body, credentials, headers);

    asio::io_context io;
    beast::ssl_stream<beast::tcp_stream> stream(io, context);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    const auto failed = [&](const char* step, const beast::error_code& failure)
    {
        result.error = std::string(step) + ": " + failure.message();
        return;
    };
    beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(20));
    beast::get_lowest_layer(stream).async_connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
        [&](beast::error_code connectError)
        {
            if (connectError)
            {
                return failed("connect", connectError);
            }
            result.connected = true;
            stream.async_handshake(
                ssl::stream_base::client,
                [&](beast::error_code handshakeError)
                {
                    if (handshakeError)
                    {
                        return failed("handshake", handshakeError);
                    }
                    result.handshake = true;
                    http::async_write(stream, request,
                                      [&](beast::error_code writeError, std::size_t)
                                      {
                                          if (writeError)
                                          {
                                              return failed("write", writeError);
                                          }
                                          http::async_read(
                                              stream, buffer, response,
                                              [&](beast::error_code readError, std::size_t)
                                              {
                                                  if (readError)
                                                  {
                                                      return failed("read", readError);
                                                  }
                                                  result.status = static_cast<int>(response.result_int());
                                                  result.body = response.body();
                                                  result.wwwAuthenticate =
                                                      std::string(response[http::field::www_authenticate]);
                                                  result.retryAfter =
                                                      std::string(response[http::field::retry_after]);
                                              });
                                      });
                });
        });
    io.run();
    beast::error_code ignored;
    beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream).socket().close(ignored);
    return result;
}
} // namespace reflib_test
