#pragma once
// The host's library instance: labels its update thread with the instance name.
#include "processing/LibraryInstance.h"

#include <string>

class CProcessingInstance : public velmar::CInstance
{
public:
    CProcessingInstance(velmar::helper::CDynLoader* loader, std::wstring name);
    ~CProcessingInstance() override;

    // On the update thread: its label becomes the name, then "OnUpdateThreadStart" at VERB.
    void OnUpdateThreadStart() override;
    void OnUpdateThreadStop() override;

    // The label for an update thread started later; changed under the owning instance's mutex.
    void SetName(const std::wstring& name) { m_name = name; }
    const std::wstring& Name() const noexcept { return m_name; }

private:
    std::wstring m_name;
};
