#include "config/ConfigInstance.h"

#include "config/Config.h"
#include "config/StoredValue.h"
#include "diagnostics/Log.h"
#include "platform/TextConversion.h"

CConfigInstance::CConfigInstance(CConfig& owner, std::wstring instanceId)
    : m_owner(&owner), m_instanceId(std::move(instanceId))
{
    Reload();
}

ConfigChange CConfigInstance::Reload()
{
    const std::wstring oldName = m_name;
    const std::wstring oldPassword = m_adminPassword;
    const std::uint32_t oldHttpPort = m_httpPort;
    const std::uint32_t oldHttpsPort = m_httpsPort;

    m_name.clear();
    m_adminPassword.clear();
    m_httpPort = 0;
    m_httpsPort = 0;

    try
    {
        if (!m_key.IsOpen())
        {
            m_key = CRegistry::Open(m_owner->InstancesKey(), m_instanceId);
        }
        m_name = m_key.ReadString(L"Name");
        if (auto password = m_key.ReadOptionalString(L"AdminPassword"))
        {
            m_adminPassword = std::move(*password);
        }
        m_httpPort = m_key.ReadDword(L"HttpPort");
        m_httpsPort = m_key.ReadDword(L"HttpsPort");
    }
    catch (const RegistryError&)
    {
        // The value that failed and every later one keep their defaults.
    }

    ConfigChange changes = ConfigChange::None;
    if (m_httpPort != oldHttpPort || m_httpsPort != oldHttpsPort)
    {
        changes |= ConfigChange::PortsChanged;
    }
    if (m_name != oldName)
    {
        changes |= ConfigChange::NameChanged;
    }
    if (m_adminPassword != oldPassword)
    {
        changes |= ConfigChange::AdminPasswordChanged;
    }
    return changes;
}

std::wstring CConfigInstance::GetAdminPassword() const
{
    const std::wstring stored = !m_adminPassword.empty() ? m_adminPassword : m_owner->AdminPassword();
    if (stored.empty())
    {
        return {};
    }

    const DecryptedValue result = DecryptStoredValue(WideToUtf8(stored));
    if (result.code == stored_value::kDecoded)
    {
        return Utf8ToWide(result.data);
    }
    VLOG(velmar::LogSeverity::Verb5) << L"\"Password\" decrypt failed, return error " << result.code;
    if (result.code == stored_value::kInvalid)
    {
        return stored;
    }
    VLOG(velmar::LogSeverity::Error) << L"Failed to decrypt password";
    return {};
}
