#pragma once
// Small, whole-file reads and replacements for the files the library keeps in a storage directory.
#include <filesystem>
#include <optional>
#include <string>

namespace velmar::reflib
{
std::filesystem::path PathFromUtf8(const std::string& text);
std::string PathToUtf8(const std::filesystem::path& path);

// The file's bytes; nullopt when it does not exist or cannot be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

// Writes `content` to a temporary file beside `path` and then replaces `path` with it, so that a
// reader never sees a half-written file. Returns false (and leaves `path` as it was) on failure.
bool StoreFileAtomically(const std::filesystem::path& path, const std::string& content);
} // namespace velmar::reflib
