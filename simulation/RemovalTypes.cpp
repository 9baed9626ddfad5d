#include "simulation/RemovalTypes.h"

namespace simulation
{

const wchar_t* RemovalOutcomeName(RemovalOutcome outcome)
{
    switch (outcome)
    {
    case RemovalOutcome::Pending:
        return L"pending";
    case RemovalOutcome::Removed:
        return L"removed";
    case RemovalOutcome::Vetoed:
        return L"vetoed";
    case RemovalOutcome::NotFound:
        return L"not found";
    case RemovalOutcome::TimedOut:
        return L"no answer from the device world";
    }
    return L"?";
}

} // namespace simulation
