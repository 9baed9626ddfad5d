#pragma once
#include "config/ConfigChange.h"
#include "config/Registry.h"

#include <cstdint>
#include <string>

class CConfig;

// The values of one instance (HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv\instances\<id>), shared between the
// configuration's map and the instance using it. It has no lock: the instance's threads serialise
// Reload against their reads.
class CConfigInstance
{
public:
    // Reads the values once (the change bits of that first read are dropped).
    CConfigInstance(CConfig& owner, std::wstring instanceId);
    CConfigInstance(const CConfigInstance&) = delete;
    CConfigInstance& operator=(const CConfigInstance&) = delete;

    // Re-reads Name (required), AdminPassword (optional), HttpPort and HttpsPort (required) in that
    // order. The first value that cannot be read ends the reading: it and every later value take
    // their defaults (empty, 0). Opens the instance key for reading on first use and keeps it open.
    ConfigChange Reload();

    // The effective administrator password, decrypted: the instance's envelope, or the global one when
    // the instance has none. A text that is no envelope is returned as it is (a plain password); a
    // provider failure or an oversized envelope gives an empty text. Both logged.
    std::wstring GetAdminPassword() const;

    const std::wstring& Name() const noexcept { return m_name; }
    const std::wstring& AdminPassword() const noexcept { return m_adminPassword; } // as stored
    std::uint32_t HttpPort() const noexcept { return m_httpPort; }
    std::uint32_t HttpsPort() const noexcept { return m_httpsPort; }
    const std::wstring& InstanceId() const noexcept { return m_instanceId; }
    // The instance key (read access; not open before the first successful open), watched by the
    // instance's registry-watch thread.
    const CRegistry& Key() const noexcept { return m_key; }
    CConfig& Owner() const noexcept { return *m_owner; }

private:
    CConfig* m_owner;
    std::wstring m_name;
    std::wstring m_adminPassword;
    std::uint32_t m_httpPort = 0;
    std::uint32_t m_httpsPort = 0;
    std::wstring m_instanceId;
    CRegistry m_key;
};
