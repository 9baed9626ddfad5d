#include "platform/ExportedVariable.h"

#include "platform/SystemApi.h"

#include <cstdlib>

namespace platform
{

void CExportedVariable::Update(const std::wstring& value)
{
    if (value.empty())
    {
        if (!m_set)
        {
            return;
        }
        // An empty value removes the C runtime's entry; a null value the process environment's.
        _wputenv_s(m_name.c_str(), L"");
        Api().SetEnvironmentVariableW(m_name.c_str(), nullptr);
        m_set = false;
        return;
    }
    _wputenv_s(m_name.c_str(), value.c_str());
    Api().SetEnvironmentVariableW(m_name.c_str(), value.c_str());
    m_set = true;
}

} // namespace platform
