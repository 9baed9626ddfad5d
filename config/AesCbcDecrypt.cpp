#include "config/AesCbcDecrypt.h"

#include "config/CredentialKey.h"
#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/UniqueHandle.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{

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
    // Declared in this order, so whatever was obtained is released as key, IV copy, provider.
    platform::UniqueAlgorithmProvider algorithm;
    platform::UniqueProcessHeapMemory ivMemory;
    platform::UniqueCryptKey key;

    if (Failed(api.BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_AES_ALGORITHM, nullptr, 0),
               L"BCryptOpenAlgorithmProvider failed with error 0x"))
    {
        return false;
    }

    ivMemory.reset(api.HeapAlloc(api.GetProcessHeap(), 0, credential::kIv.size()));
    if (!ivMemory)
    {
        VLOG(velmar::LogSeverity::Error) << L"memory allocation failed";
        return false;
    }
    const auto iv = static_cast<PUCHAR>(ivMemory.get());
    std::memcpy(iv, credential::kIv.data(), credential::kIv.size());

    static const wchar_t chainingMode[] = BCRYPT_CHAIN_MODE_CBC;
    if (Failed(api.BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                                     reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chainingMode)),
                                     sizeof(chainingMode), 0),
               L"BCryptSetProperty BCRYPT_CHAIN_MODE_CBC failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> secret(credential::kKey.begin(), credential::kKey.end());
    if (Failed(api.BCryptGenerateSymmetricKey(algorithm.get(), key.put(), nullptr, 0, secret.data(),
                                              static_cast<ULONG>(secret.size()), 0),
               L"BCryptGenerateSymmetricKey failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> input(ciphertext.begin(), ciphertext.end());
    ULONG outputSize = 0;
    if (Failed(api.BCryptDecrypt(key.get(), input.data(), static_cast<ULONG>(input.size()), nullptr, iv,
                                 static_cast<ULONG>(credential::kIv.size()), nullptr, 0, &outputSize, 0),
               L"BCryptDecrypt(1) failed with error 0x"))
    {
        return false;
    }

    std::vector<UCHAR> output(outputSize);
    ULONG written = 0;
    if (Failed(api.BCryptDecrypt(key.get(), input.data(), static_cast<ULONG>(input.size()), nullptr, iv,
                                 static_cast<ULONG>(credential::kIv.size()), output.data(), outputSize,
                                 &written, 0),
               L"BCryptDecrypt(2) failed with error 0x"))
    {
        return false;
    }

    plaintext.assign(reinterpret_cast<const char*>(output.data()),
                     std::min<std::size_t>(written, output.size()));
    return true;
}
