#pragma once
#include "config/ConfigInstance.h"
#include "config/ProductKey.h"
#include "config/Registry.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The global parameters, read from HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv\parameters.
struct GlobalParameters
{
    std::wstring SSLCertificate;
    std::wstring SSLPrivate;
    std::wstring AdminPassword; // an envelope, as stored

    bool operator==(const GlobalParameters&) const = default;
};

// The configuration of one processing run: the storage root, the product's registry keys, the global
// parameters and one shared record per instance id.
//
// The global values are guarded by a lock of their own, so instance threads may read them while the
// global watch reloads them. The instance map is changed under the processing manager's lock (and
// takes a short internal lock as well).
class CConfig
{
public:
    static constexpr const wchar_t* kMakerKey = L"SOFTWARE\\VELMAR";
    static constexpr const wchar_t* kMakerFolder = L"VELMAR";
    static constexpr const wchar_t* kProductKey = L"ORVANE.CL.drv";
    static constexpr const wchar_t* kParametersKey = L"parameters";
    static constexpr const wchar_t* kInstancesKey = L"instances";

    // Creates the storage root on disk, then creates or opens the maker, product, "instances" and
    // "parameters" keys in that order. Throws std::filesystem::filesystem_error, std::runtime_error or
    // RegistryError.
    CConfig();
    CConfig(const CConfig&) = delete;
    CConfig& operator=(const CConfig&) = delete;

    // Reads the global values; a value that cannot be read is written with the value held (empty at
    // first). Throws RegistryError "Cannot write String to registry." when that write fails.
    void LoadGlobalParameters();
    // Re-reads the global values, keeping the held value of any that cannot be read; writes nothing.
    // True when at least one value changed.
    bool ReloadGlobalParameters();

    // Ensures the instance key exists and returns the one record for the id (created and read on
    // first request); null when the instance key cannot be created.
    std::shared_ptr<CConfigInstance> GetOrCreateInstance(const std::wstring& instanceId);
    // Forgets the record of an id; an instance still holding it keeps it alive.
    void EraseInstance(const std::wstring& instanceId);
    // The records in the map, in id order.
    std::vector<std::shared_ptr<CConfigInstance>> Instances() const;

    GlobalParameters Globals() const;
    std::wstring SSLCertificate() const;
    std::wstring SSLPrivate() const;
    std::wstring AdminPassword() const;

    const std::filesystem::path& StorageRoot() const noexcept { return m_storageRoot; }
    const std::wstring& ProductKey() const noexcept { return m_product; }
    // The "parameters" key (write access), watched by the global parameter watch.
    const CRegistry& ParametersKey() const noexcept { return m_parameters; }
    // The "instances" key (write access).
    const CRegistry& InstancesKey() const noexcept { return m_instances; }

private:
    void SetGlobals(const GlobalParameters& values);

    std::filesystem::path m_storageRoot;
    mutable std::mutex m_globalsMutex;
    GlobalParameters m_globals;
    mutable std::mutex m_mapMutex;
    std::map<std::wstring, std::shared_ptr<CConfigInstance>> m_instanceMap;
    std::wstring m_product;
    CRegistry m_parameters;
    CRegistry m_instances;
};
