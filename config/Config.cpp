#include "config/Config.h"

#include "config/ProductKey.h"
#include "config/StoragePath.h"

#include <array>

namespace
{

using Field = std::wstring GlobalParameters::*;

struct GlobalValue
{
    const wchar_t* name;
    Field field;
};

// Table order is read order.
constexpr std::array<GlobalValue, 3> kGlobalValues{{
    {L"SSLCertificate", &GlobalParameters::SSLCertificate},
    {L"SSLPrivate", &GlobalParameters::SSLPrivate},
    {L"AdminPassword", &GlobalParameters::AdminPassword},
}};

} // namespace

CConfig::CConfig() : m_storageRoot(GetStoragePath(kMakerFolder, kProductKey)), m_product(kProductKey)
{
    CreateStorageRoot(m_storageRoot);

    // The first processing start creates the product key with its protected security.
    const CRegistry product = CreateProductKey();
    m_instances = CRegistry::Create(product, kInstancesKey);
    m_parameters = CRegistry::Create(product, kParametersKey);
}

void CConfig::SetGlobals(const GlobalParameters& values)
{
    std::lock_guard lock(m_globalsMutex);
    m_globals = values;
}

void CConfig::LoadGlobalParameters()
{
    GlobalParameters values = Globals();
    for (const GlobalValue& value : kGlobalValues)
    {
        try
        {
            values.*value.field = m_parameters.ReadString(value.name);
            SetGlobals(values);
        }
        catch (const RegistryError&)
        {
            m_parameters.WriteString(value.name, values.*value.field);
        }
    }
}

bool CConfig::ReloadGlobalParameters()
{
    const GlobalParameters before = Globals();
    GlobalParameters after = before;
    for (const GlobalValue& value : kGlobalValues)
    {
        try
        {
            after.*value.field = m_parameters.ReadString(value.name);
        }
        catch (const RegistryError&)
        {
            // Unreadable or deleted: the held value stays.
        }
    }
    SetGlobals(after);
    return after != before;
}

std::shared_ptr<CConfigInstance> CConfig::GetOrCreateInstance(const std::wstring& instanceId)
{
    try
    {
        CRegistry::Create(m_instances, instanceId);
    }
    catch (const RegistryError&)
    {
        return nullptr;
    }
    auto record = std::make_shared<CConfigInstance>(*this, instanceId);

    std::lock_guard lock(m_mapMutex);
    return m_instanceMap.try_emplace(instanceId, std::move(record)).first->second;
}

void CConfig::EraseInstance(const std::wstring& instanceId)
{
    std::lock_guard lock(m_mapMutex);
    m_instanceMap.erase(instanceId);
}

std::vector<std::shared_ptr<CConfigInstance>> CConfig::Instances() const
{
    std::lock_guard lock(m_mapMutex);
    std::vector<std::shared_ptr<CConfigInstance>> records;
    records.reserve(m_instanceMap.size());
    for (const auto& entry : m_instanceMap)
    {
        records.push_back(entry.second);
    }
    return records;
}

GlobalParameters CConfig::Globals() const
{
    std::lock_guard lock(m_globalsMutex);
    return m_globals;
}

std::wstring CConfig::SSLCertificate() const
{
    std::lock_guard lock(m_globalsMutex);
    return m_globals.SSLCertificate;
}

std::wstring CConfig::SSLPrivate() const
{
    std::lock_guard lock(m_globalsMutex);
    return m_globals.SSLPrivate;
}

std::wstring CConfig::AdminPassword() const
{
    std::lock_guard lock(m_globalsMutex);
    return m_globals.AdminPassword;
}
