#pragma once
// An instance's display name as other threads publish it and the audio thread reads it: one writer at
// a time (the instance mutex serialises renames), readers that never lock, never allocate and never
// see a name half written. A sequence counter over a fixed buffer: odd while a write is in progress;
// a reader copies and tries again when the counter moved meanwhile. Names longer than the buffer are
// cut for the audio path (logs and trace activities); the full name lives in the configuration.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

class CPublishedName
{
public:
    static constexpr std::size_t kCapacity = 256;

    // Writer side; callers serialise.
    void Publish(std::wstring_view name) noexcept;

    // Bumped by every Publish; a reader whose copy has this generation is up to date.
    std::uint32_t Generation() const noexcept { return m_sequence.load(std::memory_order_acquire); }

    // Copies the name into target (which must have kCapacity reserved, so that nothing is allocated)
    // and returns the generation of the copy.
    std::uint32_t CopyTo(std::wstring& target) const noexcept;

    // Updates target only when a newer name was published since generation; returns the new generation.
    std::uint32_t Refresh(std::wstring& target, std::uint32_t generation) const noexcept
    {
        return Generation() == generation ? generation : CopyTo(target);
    }

private:
    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<std::size_t> m_length{0};
    std::array<std::atomic<wchar_t>, kCapacity> m_text{};
};
