#pragma once
// Password hashing for the stored account: PBKDF2 with HMAC-SHA-256 (CNG), a random salt and many
// iterations; the clear password is never stored.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmar::reflib
{
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kPasswordIterations = 100000;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kPasswordHashBytes = 32;

// Cryptographically random bytes; throws std::runtime_error when the system cannot supply them.
Bytes RandomBytes(std::size_t count);
// Throws std::runtime_error when the derivation fails.
Bytes DerivePasswordHash(const std::string& password, const Bytes& salt, std::uint32_t iterations);
Bytes Sha256(const std::string& data);
// Compares in time independent of where the two differ.
bool EqualConstantTime(const Bytes& a, const Bytes& b);

std::string ToHexText(const Bytes& bytes);
std::optional<Bytes> FromHexText(const std::string& text);
} // namespace velmar::reflib
