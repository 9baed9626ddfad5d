#pragma once
#include "platform/SystemCallError.h"

// A failed registry call: a fixed message and the status the call returned.
class RegistryError : public platform::SystemCallError
{
public:
    using SystemCallError::SystemCallError;
};
