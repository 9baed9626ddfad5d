#pragma once
#include <cstdint>

// The administration operations CWinService::Execute carries out, one for each service option of the
// command line (their numbers are those the options have always been given).
enum class ServiceOperation : std::uint8_t
{
    None = 0,
    Install = 1,
    Uninstall = 2,
    Start = 3,
    Restart = 4,
    Run = 5,
    Stop = 6,
    SetParameters = 7,
};
