#include "reflib/AuthStore.h"

#include "reflib/FileStore.h"
#include "reflib/JsonText.h"
#include "reflib/LibraryLog.h"
#include "reflib/RequestStatus.h"

#include <utility>

namespace velmar::reflib
{
namespace
{
constexpr std::size_t kMaxUserBytes = 64;
constexpr std::size_t kMaxSecretBytes = 1024;
constexpr const char* kKdfName = "pbkdf2-hmac-sha256";

Bytes CredentialDigest(const Bytes& salt, const std::string& user, const std::string& password)
{
    std::string material(salt.begin(), salt.end());
    material += user;
    material.push_back('\0');
    material += password;
    return Sha256(material);
}
} // namespace

CAuthStore::CAuthStore(std::filesystem::path file) : m_file(std::move(file)) {}

nlohmann::json CAuthStore::ToJson(const CState& state)
{
    nlohmann::json json{{"version", 1}, {"unlogged_access", state.unloggedAccess}, {"account", nullptr}};
    if (state.account)
    {
        json["account"] = {
            {"user", state.account->user},
            {"is_admin", state.account->isAdmin},
            {"kdf", kKdfName},
            {"iterations", state.account->iterations},
            {"salt", ToHexText(state.account->salt)},
            {"hash", ToHexText(state.account->hash)},
        };
    }
    return json;
}

std::optional<CAuthStore::CState> CAuthStore::FromJson(const nlohmann::json& json)
{
    if (!json.is_object() || !json.contains("unlogged_access") || !json["unlogged_access"].is_boolean() ||
        !json.contains("account"))
    {
        return std::nullopt;
    }
    CState state;
    state.unloggedAccess = json["unlogged_access"].get<bool>();
    const auto& account = json["account"];
    if (account.is_null())
    {
        return state;
    }
    if (!account.is_object() || !account.contains("user") || !account["user"].is_string() ||
        !account.contains("is_admin") || !account["is_admin"].is_boolean() ||
        account.value("kdf", "") != kKdfName || !account.contains("iterations") ||
        !account["iterations"].is_number_unsigned() || !account.contains("salt") ||
        !account["salt"].is_string() || !account.contains("hash") || !account["hash"].is_string())
    {
        return std::nullopt;
    }
    CAccount loaded;
    loaded.user = account["user"].get<std::string>();
    loaded.isAdmin = account["is_admin"].get<bool>();
    const auto iterations = account["iterations"].get<std::uint64_t>();
    auto salt = FromHexText(account["salt"].get<std::string>());
    auto hash = FromHexText(account["hash"].get<std::string>());
    if (iterations == 0 || iterations > 10000000 || !salt || !hash || hash->size() != kPasswordHashBytes)
    {
        return std::nullopt;
    }
    loaded.iterations = static_cast<std::uint32_t>(iterations);
    loaded.salt = std::move(*salt);
    loaded.hash = std::move(*hash);
    state.account = std::move(loaded);
    return state;
}

void CAuthStore::Load()
{
    if (m_file.empty())
    {
        return;
    }
    const auto content = ReadWholeFile(m_file);
    if (!content)
    {
        return;
    }
    const auto json = nlohmann::json::parse(*content, nullptr, false);
    auto state = FromJson(json);
    std::lock_guard lock(m_mutex);
    if (!state)
    {
        VELMAR_RLOG(Severity::Warn, "Unreadable " << PathToUtf8(m_file) << ", network access is locked");
        m_state = CState{};
        return;
    }
    m_state = std::move(*state);
}

std::int32_t CAuthStore::Init(const nlohmann::json& init, std::string& error)
{
    if (!init.is_object())
    {
        error = "init must be an object";
        return kStatusInvalidValue;
    }
    bool replaceAccount = false;
    const nlohmann::json* account = nullptr;
    bool isAdmin = true;
    bool unlogged = false;
    for (const auto& [key, value] : init.items())
    {
        if (key == "setup_account")
        {
            replaceAccount = true;
            if (value.is_null())
            {
                continue;
            }
            if (!value.is_object() || !value.contains("user") || !value["user"].is_string() ||
                !value.contains("secret_clear") || !value["secret_clear"].is_string() || value.size() != 2)
            {
                error = "setup_account needs exactly \"user\" and \"secret_clear\" texts";
                return kStatusInvalidValue;
            }
            const auto& user = value["user"].get_ref<const std::string&>();
            const auto& secret = value["secret_clear"].get_ref<const std::string&>();
            if (user.empty() || user.size() > kMaxUserBytes || secret.empty() ||
                secret.size() > kMaxSecretBytes)
            {
                error = "user or secret empty or too long";
                return kStatusInvalidValue;
            }
            account = &value;
        }
        else if (key == "setup_is_admin")
        {
            if (!value.is_boolean())
            {
                error = "setup_is_admin must be true or false";
                return kStatusInvalidValue;
            }
            isAdmin = value.get<bool>();
        }
        else if (key == "unlogged_access")
        {
            if (value.is_boolean())
            {
                unlogged = value.get<bool>();
            }
            else if (value.is_string() && value.get_ref<const std::string&>() == "v")
            {
                unlogged = true;
            }
            else
            {
                error = "unlogged_access must be \"v\" or a boolean";
                return kStatusInvalidValue;
            }
        }
        else
        {
            error = "unknown init member \"" + key + "\"";
            return kStatusUnknownKey;
        }
    }

    std::optional<CAccount> newAccount;
    if (account != nullptr)
    {
        CAccount made;
        made.user = (*account)["user"].get<std::string>();
        made.isAdmin = isAdmin;
        made.salt = RandomBytes(kSaltBytes);
        made.hash =
            DerivePasswordHash((*account)["secret_clear"].get<std::string>(), made.salt, made.iterations);
        newAccount = std::move(made);
    }

    std::lock_guard lock(m_mutex);
    CState next;
    next.unloggedAccess = unlogged;
    if (replaceAccount)
    {
        next.account = std::move(newAccount);
    }
    else
    {
        next.account = m_state.account;
        if (next.account)
        {
            next.account->isAdmin = isAdmin;
        }
    }
    if (!m_file.empty() && !StoreFileAtomically(m_file, JsonToText(ToJson(next))))
    {
        error = "cannot write " + PathToUtf8(m_file);
        VELMAR_RLOG(Severity::Error, "Cannot write " << PathToUtf8(m_file));
        return kStatusStorageFailed;
    }
    m_state = std::move(next);
    ++m_generation;
    m_verifiedDigest.clear();
    VELMAR_RLOG(
        Severity::Info,
        "Access set up: " << (m_state.account ? "account \"" + m_state.account->user + "\"" : "no account")
                          << (m_state.unloggedAccess ? ", unlogged access granted" : ""));
    return kStatusOk;
}

Access CAuthStore::Unlogged() const
{
    std::lock_guard lock(m_mutex);
    if (!m_state.unloggedAccess)
    {
        return Access::None;
    }
    return m_state.account ? Access::Viewer : Access::Admin;
}

Access CAuthStore::Authenticate(const std::string& user, const std::string& password) const
{
    // What a wrong user name (or a missing account) is checked against, so that it costs as much as a
    // wrong password.
    static const Bytes kDummySalt(kSaltBytes, 0);
    static const Bytes kDummyHash(kPasswordHashBytes, 0);

    std::optional<CAccount> account;
    std::uint64_t generation = 0;
    Bytes digest;
    {
        std::lock_guard lock(m_mutex);
        if (m_state.account)
        {
            account = m_state.account;
            generation = m_generation;
            digest = CredentialDigest(account->salt, user, password);
            if (!m_verifiedDigest.empty() && EqualConstantTime(digest, m_verifiedDigest))
            {
                return account->isAdmin ? Access::Admin : Access::Viewer;
            }
        }
    }
    // The user names are compared as digests of equal length, in constant time; the slow derivation
    // runs without the lock.
    const bool userMatches = account && EqualConstantTime(Sha256(user), Sha256(account->user));
    // A stored secret is never empty; an empty one is derived as a single NUL so that it fails alike.
    const Bytes hash = DerivePasswordHash(password.empty() ? std::string(1, '\0') : password,
                                          userMatches ? account->salt : kDummySalt,
                                          account ? account->iterations : kPasswordIterations);
    const bool passwordMatches =
        !password.empty() && EqualConstantTime(hash, userMatches ? account->hash : kDummyHash);
    if (!userMatches || !passwordMatches)
    {
        return Access::None;
    }
    std::lock_guard lock(m_mutex);
    if (generation == m_generation)
    {
        m_verifiedDigest = std::move(digest);
    }
    return account->isAdmin ? Access::Admin : Access::Viewer;
}

bool CAuthStore::UnloggedAccess() const
{
    std::lock_guard lock(m_mutex);
    return m_state.unloggedAccess;
}

bool CAuthStore::HasAccount() const
{
    std::lock_guard lock(m_mutex);
    return m_state.account.has_value();
}
} // namespace velmar::reflib
