#pragma once
#include <string>
#include <string_view>

// Decodes standard Base64 (RFC 4648 alphabet). Decoding stops at the first byte outside the
// alphabet, so "=" padding or a line break simply ends the data; bits left over are dropped.
std::string Base64Decode(std::string_view text);
