#pragma once
// Base64 decoding (RFC 4648, standard alphabet, with padding), for HTTP Basic credentials.
#include <optional>
#include <string>
#include <string_view>

namespace velmar::reflib
{
std::optional<std::string> DecodeBase64(std::string_view text);
} // namespace velmar::reflib
