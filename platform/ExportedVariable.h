#pragma once
// An environment variable the program sets for a library it loads. A library built with another C
// runtime reads the process environment (GetEnvironmentVariableW, or its own runtime's copy taken from
// it), ours reads the C runtime's copy: every change goes to both, so that they never differ.
#include <string>

namespace platform
{

class CExportedVariable
{
public:
    explicit CExportedVariable(std::wstring name) : m_name(std::move(name)) {}

    // A non-empty value is set in both environments. An empty value leaves a variable the program never
    // set alone (an inherited value stays), and removes from both the one it set before.
    void Update(const std::wstring& value);

private:
    std::wstring m_name;
    bool m_set = false;
};

} // namespace platform
