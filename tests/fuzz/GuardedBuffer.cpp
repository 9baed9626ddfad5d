#include "GuardedBuffer.h"

#include <windows.h>

namespace
{

std::size_t PageSize()
{
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

} // namespace

void CGuardedBuffer::VirtualMemoryTraits::Close(Type value) noexcept
{
    ::VirtualFree(value, 0, MEM_RELEASE);
}

CGuardedBuffer::CGuardedBuffer(std::size_t capacityBytes)
{
    const std::size_t page = PageSize();
    m_accessible = (capacityBytes + page - 1) / page * page;
    m_memory.reset(::VirtualAlloc(nullptr, m_accessible + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (!m_memory ||
        !::VirtualProtect(static_cast<char*>(m_memory.get()) + m_accessible, page, PAGE_NOACCESS, &previous))
    {
        throw std::runtime_error("test: cannot reserve a guarded buffer");
    }
}
