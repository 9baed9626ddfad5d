#include "processing/PublishedName.h"

#include <algorithm>

void CPublishedName::Publish(std::wstring_view name) noexcept
{
    const std::size_t length = std::min(name.size(), kCapacity);
    const std::uint32_t start = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(start + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < length; ++i)
    {
        m_text[i].store(name[i], std::memory_order_relaxed);
    }
    m_length.store(length, std::memory_order_relaxed);
    m_sequence.store(start + 2, std::memory_order_release);
}

std::uint32_t CPublishedName::CopyTo(std::wstring& target) const noexcept
{
    wchar_t copy[kCapacity];
    for (;;)
    {
        const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
        if ((before & 1U) != 0)
        {
            continue;
        }
        const std::size_t length = std::min(m_length.load(std::memory_order_relaxed), kCapacity);
        for (std::size_t i = 0; i < length; ++i)
        {
            copy[i] = m_text[i].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_sequence.load(std::memory_order_relaxed) == before)
        {
            // Within the reserved capacity: assign does not allocate.
            target.assign(copy, length);
            return before;
        }
    }
}
