#pragma once
// Texts the library hands out and the host hands back with one of the Free functions. Only texts of
// the pool are released; any other pointer (null included) is ignored.
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velmar::reflib
{
class CStringPool
{
public:
    const char* Allocate(const std::string& text);
    bool Release(const char* text);

private:
    std::mutex m_mutex;
    std::unordered_map<const char*, std::unique_ptr<char[]>> m_texts;
};
} // namespace velmar::reflib
