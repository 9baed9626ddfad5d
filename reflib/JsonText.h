#pragma once
// JSON to text for everything the library writes or answers: compact, and invalid UTF-8 (which can
// only come from texts given through the C interface) replaced instead of failing.
#include <nlohmann/json.hpp>

#include <string>

namespace velmar::reflib
{
inline std::string JsonToText(const nlohmann::json& json, int indent = -1)
{
    return json.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}
} // namespace velmar::reflib
