#include "reflib/StringPool.h"

#include <cstring>

namespace velmar::reflib
{
const char* CStringPool::Allocate(const std::string& text)
{
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    const char* pointer = copy.get();
    std::lock_guard lock(m_mutex);
    m_texts.emplace(pointer, std::move(copy));
    return pointer;
}

bool CStringPool::Release(const char* text)
{
    if (text == nullptr)
    {
        return false;
    }
    std::unique_ptr<char[]> released;
    std::lock_guard lock(m_mutex);
    const auto found = m_texts.find(text);
    if (found == m_texts.end())
    {
        return false;
    }
    released = std::move(found->second);
    m_texts.erase(found);
    return true;
}
} // namespace velmar::reflib
