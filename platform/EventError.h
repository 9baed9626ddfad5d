#pragma once
#include "platform/SystemCallError.h"

// A failed event operation: a fixed message and the system code (or the raw wait result).
class EventError : public platform::SystemCallError
{
public:
    using SystemCallError::SystemCallError;
};
