#pragma once
// Holds one test input so that its last element ends exactly where a no-access page begins: a read of
// a single element past the end faults at once instead of passing unnoticed.
#include "platform/UniqueHandle.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>

class CGuardedBuffer
{
public:
    // Room for inputs of up to capacityBytes bytes.
    explicit CGuardedBuffer(std::size_t capacityBytes);

    // Copies count elements to the end of the accessible pages and returns where they begin.
    template <typename T> T* Place(const T* data, std::size_t count)
    {
        if (count * sizeof(T) > m_accessible)
        {
            throw std::length_error("test: input larger than its guarded buffer");
        }
        T* const begin = reinterpret_cast<T*>(static_cast<char*>(m_memory.get()) + m_accessible) - count;
        if (count > 0)
        {
            std::memcpy(begin, data, count * sizeof(T));
        }
        return begin;
    }

private:
    struct VirtualMemoryTraits
    {
        using Type = void*;
        static constexpr Type Empty() noexcept { return nullptr; }
        static void Close(Type value) noexcept;
    };

    platform::CUniqueAny<VirtualMemoryTraits> m_memory;
    std::size_t m_accessible = 0;
};
