#pragma once
// The entry-point names and groups as the tests expect them, and a way to read a loader's members by
// table position, both generated from the interface header.
#include "library/DynLoader.h"

#include <string>
#include <vector>

namespace librarytest
{

struct CExpectedEntryPoint
{
    int group;
    const char* name;
};

inline const std::vector<CExpectedEntryPoint>& ExpectedEntryPoints()
{
#define LIBRARYTEST_ROW(group, name, ret, params) {group, #name},
    static const std::vector<CExpectedEntryPoint> table = {VELMAR_LIBRARY_ENTRY_POINTS(LIBRARYTEST_ROW)};
#undef LIBRARYTEST_ROW
    return table;
}

// The members of a loader in table order, as untyped addresses (null when not bound).
inline std::vector<const void*> BoundAddresses(const velmar::helper::CDynLoader& loader)
{
    std::vector<const void*> addresses;
#define LIBRARYTEST_MEMBER(group, name, ret, params)                                                         \
    addresses.push_back(reinterpret_cast<const void*>(loader.name));
    VELMAR_LIBRARY_ENTRY_POINTS(LIBRARYTEST_MEMBER)
#undef LIBRARYTEST_MEMBER
    return addresses;
}

// Byte offsets of the members in table order, to check that the declaration follows the table.
inline std::vector<size_t> MemberOffsets(const velmar::helper::CDynLoader& loader)
{
    std::vector<size_t> offsets;
    const char* base = reinterpret_cast<const char*>(&loader);
#define LIBRARYTEST_OFFSET(group, name, ret, params)                                                         \
    offsets.push_back(static_cast<size_t>(reinterpret_cast<const char*>(&loader.name) - base));
    VELMAR_LIBRARY_ENTRY_POINTS(LIBRARYTEST_OFFSET)
#undef LIBRARYTEST_OFFSET
    return offsets;
}

inline int IndexOf(const std::string& name)
{
    const auto& table = ExpectedEntryPoints();
    for (size_t i = 0; i < table.size(); ++i)
    {
        if (name == table[i].name)
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace librarytest
