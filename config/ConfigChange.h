#pragma once
#include <cstdint>

// Which groups of instance values a reload found changed.
enum class ConfigChange : std::uint32_t
{
    None = 0,
    PortsChanged = 2,
    NameChanged = 4,
    AdminPasswordChanged = 8,
};

constexpr ConfigChange operator|(ConfigChange a, ConfigChange b) noexcept
{
    return static_cast<ConfigChange>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}

constexpr ConfigChange operator&(ConfigChange a, ConfigChange b) noexcept
{
    return static_cast<ConfigChange>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

constexpr ConfigChange& operator|=(ConfigChange& a, ConfigChange b) noexcept
{
    return a = a | b;
}

// True when every bit of flag is set in changes.
constexpr bool HasChange(ConfigChange changes, ConfigChange flag) noexcept
{
    return (changes & flag) == flag && flag != ConfigChange::None;
}
