#pragma once
// The web server's access rules of one process, kept in "auth.json" in its storage directory:
//   {"version":1,"unlogged_access":false,
//    "account":{"user":"admin","is_admin":true,"kdf":"pbkdf2-hmac-sha256","iterations":100000,
//               "salt":"<hex>","hash":"<hex>"}}            ("account":null when there is none)
// The "init" request replaces them: "setup_account" {"user","secret_clear"} sets the account, null
// removes it (absent keeps it); "setup_is_admin" (default true) makes it an administrator, otherwise it
// may only read; "unlogged_access" "v" or true lets callers in without logging in, and every init
// without it withdraws that grant. What the grant lets them do depends on the account: with one (it
// always has a password) they may only read, and changes need its credentials; without one (no
// password was configured) the server is open to everybody. Credentials that do not match the account
// are refused, grant or not. With no account and no grant nobody gets in over the network.
// A missing auth.json means no account and no grant; an unreadable one is treated the same and logged.
#include "reflib/PasswordHash.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace velmar::reflib
{
enum class Access
{
    None,
    Viewer,
    Admin,
};

class CAuthStore
{
public:
    // An empty path keeps everything in memory only.
    explicit CAuthStore(std::filesystem::path file);

    void Load();
    // The "init" request; returns a status of RequestStatus.h and describes a failure in `error`.
    std::int32_t Init(const nlohmann::json& init, std::string& error);
    // Access of a network caller that sent no credentials.
    Access Unlogged() const;
    // Access of a network caller with these credentials; None when they do not match the account. A
    // wrong user name, a wrong password and credentials without an account cost the same key derivation.
    Access Authenticate(const std::string& user, const std::string& password) const;

    bool UnloggedAccess() const;
    bool HasAccount() const;

private:
    struct CAccount
    {
        std::string user;
        bool isAdmin = true;
        std::uint32_t iterations = kPasswordIterations;
        Bytes salt;
        Bytes hash;
    };
    struct CState
    {
        std::optional<CAccount> account;
        bool unloggedAccess = false;
    };

    static nlohmann::json ToJson(const CState& state);
    static std::optional<CState> FromJson(const nlohmann::json& json);

    const std::filesystem::path m_file;
    mutable std::mutex m_mutex;
    CState m_state;
    std::uint64_t m_generation = 0;
    // Digest of the last credentials that passed, so that a browser sending them with every request
    // does not pay for the key derivation each time; cleared by every init.
    mutable Bytes m_verifiedDigest;
};
} // namespace velmar::reflib
