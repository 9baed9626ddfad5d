#pragma once
// The library's identity.
namespace velmar::reflib
{
constexpr const char* kLibraryVersion = "1.0.0 (reference)";
constexpr const char* kProductName = "ORVANE.CL";
} // namespace velmar::reflib
