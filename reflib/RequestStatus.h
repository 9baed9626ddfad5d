#pragma once
// Result codes of the JSON interface (the status out-parameter of ProcessJson and the "code" of an
// error answer).
#include <cstdint>

namespace velmar::reflib
{
constexpr std::int32_t kStatusOk = 0;
constexpr std::int32_t kStatusMalformed = 1;     // not JSON, or not an object
constexpr std::int32_t kStatusUnknownKey = 2;    // unknown request or setting
constexpr std::int32_t kStatusInvalidValue = 3;  // wrong type or out of range
constexpr std::int32_t kStatusStorageFailed = 4; // the change could not be stored
constexpr std::int32_t kStatusUnknownHandle = 5; // client or process does not exist (any more)
constexpr std::int32_t kStatusForbidden = 6;     // the caller may not make this request
constexpr std::int32_t kStatusInternalError = 7;
} // namespace velmar::reflib
