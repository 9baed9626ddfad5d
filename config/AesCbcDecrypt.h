#pragma once
#include <string>
#include <string_view>

// AES-256-CBC decryption with the credential key and IV through CNG, no padding removal. Returns
// false after one ERROR log line when a provider step or the IV allocation fails; every provider
// object obtained is released on every path.
bool AesCbcDecrypt(std::string_view ciphertext, std::string& plaintext);
