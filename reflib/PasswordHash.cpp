#include "reflib/PasswordHash.h"

#include <windows.h>

#include <bcrypt.h>

#include <stdexcept>

namespace velmar::reflib
{
namespace
{
bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

class CAlgorithm
{
public:
    CAlgorithm(const wchar_t* algorithm, ULONG flags)
    {
        if (!Succeeded(::BCryptOpenAlgorithmProvider(&m_handle, algorithm, nullptr, flags)))
        {
            throw std::runtime_error("cannot open the hash algorithm");
        }
    }
    ~CAlgorithm() { ::BCryptCloseAlgorithmProvider(m_handle, 0); }
    CAlgorithm(const CAlgorithm&) = delete;
    CAlgorithm& operator=(const CAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_ALG_HANDLE m_handle = nullptr;
};

class CHash
{
public:
    explicit CHash(const CAlgorithm& algorithm)
    {
        if (!Succeeded(::BCryptCreateHash(algorithm.Get(), &m_handle, nullptr, 0, nullptr, 0, 0)))
        {
            throw std::runtime_error("cannot create the hash");
        }
    }
    ~CHash() { ::BCryptDestroyHash(m_handle); }
    CHash(const CHash&) = delete;
    CHash& operator=(const CHash&) = delete;
    BCRYPT_HASH_HANDLE Get() const { return m_handle; }

private:
    BCRYPT_HASH_HANDLE m_handle = nullptr;
};

// CNG takes non-const input pointers although it does not write through them.
PUCHAR Input(const void* data)
{
    return static_cast<PUCHAR>(const_cast<void*>(data));
}
} // namespace

Bytes RandomBytes(std::size_t count)
{
    Bytes bytes(count);
    if (count != 0 && !Succeeded(::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(count),
                                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    {
        throw std::runtime_error("no random bytes");
    }
    return bytes;
}

Bytes DerivePasswordHash(const std::string& password, const Bytes& salt, std::uint32_t iterations)
{
    const CAlgorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    Bytes hash(kPasswordHashBytes);
    const NTSTATUS status = ::BCryptDeriveKeyPBKDF2(
        hmac.Get(), Input(password.data()), static_cast<ULONG>(password.size()), Input(salt.data()),
        static_cast<ULONG>(salt.size()), iterations, hash.data(), static_cast<ULONG>(hash.size()), 0);
    if (!Succeeded(status))
    {
        throw std::runtime_error("password derivation failed");
    }
    return hash;
}

Bytes Sha256(const std::string& data)
{
    const CAlgorithm sha(BCRYPT_SHA256_ALGORITHM, 0);
    const CHash hash(sha);
    Bytes digest(32);
    if (!Succeeded(::BCryptHashData(hash.Get(), Input(data.data()), static_cast<ULONG>(data.size()), 0)) ||
        !Succeeded(::BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0)))
    {
        throw std::runtime_error("hashing failed");
    }
    return digest;
}

bool EqualConstantTime(const Bytes& a, const Bytes& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

std::string ToHexText(const Bytes& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes)
    {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::optional<Bytes> FromHexText(const std::string& text)
{
    if (text.size() % 2 != 0)
    {
        return std::nullopt;
    }
    auto digit = [](char c) -> int
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2)
    {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0)
        {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}
} // namespace velmar::reflib
