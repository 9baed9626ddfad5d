#pragma once
// The TLS side of the web server: the certificate chain and private key the administrator configured,
// named by the environment variables SSL_CERTIFICATE_PATH and SSL_PRIVATE_PATH (PEM files). They are
// read each time a server starts, so a replaced certificate is served from the next start on.
#include <boost/asio/ssl/context.hpp>

#include <memory>

namespace velmar::reflib
{
// A server context with the configured certificate and key, TLS 1.2 or newer only. Throws
// std::runtime_error saying what is missing or wrong: a variable not set, a file that cannot be read,
// a file without a PEM certificate or key (an encrypted key counts as unreadable: nobody is there to
// type its passphrase), or a key that does not belong to the certificate.
std::unique_ptr<boost::asio::ssl::context> MakeServerTlsContext();
} // namespace velmar::reflib
