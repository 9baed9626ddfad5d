#include "config/AesCbcDecrypt.h"

#include "config/CredentialKey.h"
#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

// What one decryption obtained from the provider and the heap; released in the order key, IV copy,
// provider, whatever of it exists.
class CCngSession
{
public:
    CCngSession() = default;
    CCngSession(const CCngSession&) = delete;
    CCngSession& operator=(const CCngSession&) = delete;
    ~CCngSession()
    {
        auto& api = platform::Api();
        if (key != nullptr)
        {
            api.BCryptDestroyKey(key);
        }
        if (iv != nullptr)
        {
            api.HeapFree(heap, 0, iv);
        }
        if (algorithm != nullptr)
        {
            api.BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    HANDLE heap = nullptr;
    PUCHAR iv = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
};

bool Failed(NTSTATUS status, const wchar_t* text)
{
    if (BCRYPT_SUCCESS(status))
    {
        return false;
    }
    VLOG(velmar::LogSeverity::Error) << text << ToHex(static_cast<std::uint32_t>(status));
    return true;
}

} // namespace

bool AesCbcDecrypt(std::string_view ciphertext, std::string& plaintext)
{
    auto& api = platform::Api();
    CCngSession session;

    if (Failed(api.BCryptOpenAlgorithmProvider(&session.algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0),
               L"BCryptOpenAlgorithmProvider failed with error 0x"))
    {
        return false;
    }

    session.heap = api.GetProcessHeap();
    session.iv = static_cast<PUCHAR>(api.HeapAlloc(session.heap, 0, credential::kIv.size()));
    if (session.iv == nullptr)
    {
        VLOG(velmar::LogSeverity::Error) << L"memory allocation failed";
        return false;
    }
    std::memcpy(session.iv, credential::kIv.data(), credential::kIv.size());

    static const wchar_t chainingMode[] = BCRYPT_CHAIN_MODE_CBC;
    if (Failed(api.BCryptSetProperty(session.algorithm, BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chainingMode)),
                                     sizeof(chainingMode), 0),
               L"BCryptSetProperty BCRYPT_CHAIN_MODE_CBC failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> key(credential::kKey.begin(), credential::kKey.end());
    if (Failed(api.BCryptGenerateSymmetricKey(session.algorithm, &session.key, nullptr, 0, key.data(),
                                              static_cast<ULONG>(key.size()), 0),
               L"BCryptGenerateSymmetricKey failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> input(ciphertext.begin(), ciphertext.end());
    ULONG outputSize = 0;
    if (Failed(api.BCryptDecrypt(session.key, input.data(), static_cast<ULONG>(input.size()), nullptr,
                                 session.iv, static_cast<ULONG>(credential::kIv.size()), nullptr, 0,
                                 &outputSize, 0),
               L"BCryptDecrypt(1) failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> output(outputSize);
    ULONG written = 0;
    if (Failed(api.BCryptDecrypt(session.key, input.data(), static_cast<ULONG>(input.size()), nullptr,
                                 session.iv, static_cast<ULONG>(credential::kIv.size()), output.data(),
                                 outputSize, &written, 0),
               L"BCryptDecrypt(2) failed with error 0x"))
    {
        return false;
    }

    plaintext.assign(reinterpret_cast<const char*>(output.data()),
                     std::min<std::size_t>(written, output.size()));
    return true;
}
