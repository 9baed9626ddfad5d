#pragma once
// The processing library, loaded at run time and bound into one table of entry points.
//
//   velmar::helper::CDynLoader loader;
//   if (!loader.load(L"velmar.orvane.cl.dll")) { ... the library is unusable ... }
//   loader.GetVersion();
//
// The entry points are public members named as the library's functions; the members of the optional
// groups (2 and 4 to 8) are null when the library does not export them and must be tested before use.
// The library is never unloaded: destroying the loader only forgets the module handle.
#include "library/ProcessingLibraryApi.h"

#include <string>
#include <windows.h>

namespace velmar::helper
{

// The token queries by which the loader decides whether it may look in the current folder; a test
// swaps an entry (tests/support/ApiOverride.h) and restores it after.
struct LoaderSecurityApi
{
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
};
LoaderSecurityApi& LoaderSecurity();

// True when a library planted in the current folder would run with more rights than its planter:
// the process is elevated, runs as the local system, local service or network service account, or
// runs as a service (the service group is in its token). Also true when the token cannot be read.
bool CurrentFolderIsUntrusted();

class CDynLoader
{
public:
    CDynLoader() noexcept = default;
    virtual ~CDynLoader();

    CDynLoader(const CDynLoader&) = delete;
    CDynLoader& operator=(const CDynLoader&) = delete;

    // Loads the library and binds its entry points. A name with a directory part is loaded from there
    // only; a bare name is looked for beside the module holding this code, then in the current
    // directory unless CurrentFolderIsUntrusted. True when the library is loaded and every mandatory
    // entry point (groups 1 and 3) is bound. A library that cannot be loaded from any of those places
    // is logged with the reasons. On false the module may stay mapped and what was bound stays in the
    // table.
    bool load(const std::wstring& fileName);

    HMODULE Module() const noexcept { return m_module; }
    bool IsLoaded() const noexcept { return m_loaded; }
    // The export prefix, for example "orvane_".
    const std::string& Prefix() const noexcept { return m_prefix; }

private:
    HMODULE m_module = nullptr;
    bool m_loaded = false;
    std::string m_prefix;

public:
#define VELMAR_DECLARE_ENTRY_POINT(group, name, ret, params) ::velmar::lib::PFN_##name name = nullptr;
    VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_DECLARE_ENTRY_POINT)
#undef VELMAR_DECLARE_ENTRY_POINT

private:
    void Reset() noexcept;
    bool BindEntryPoints();
};

} // namespace velmar::helper
