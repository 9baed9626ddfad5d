#include "processing/ProcessingInstance.h"

#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"
#include "platform/Boundary.h"

CProcessingInstance::CProcessingInstance(velmar::helper::CDynLoader* loader, std::wstring name)
    : velmar::CInstance(loader), m_name(std::move(name))
{
}

CProcessingInstance::~CProcessingInstance()
{
    // The update thread calls the overrides until it is joined: end it while this part still exists.
    CatchAndLog(velmar::LogSeverity::Error, L"Library instance shutdown failed", [this] { Shutdown(); });
}

void CProcessingInstance::OnUpdateThreadStart()
{
    SetThreadLabel(m_name);
    VLOG(velmar::LogSeverity::Verb) << L"OnUpdateThreadStart";
}

void CProcessingInstance::OnUpdateThreadStop()
{
    VLOG(velmar::LogSeverity::Verb) << L"OnUpdateThreadStop";
}
