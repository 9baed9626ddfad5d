#pragma once
// The reporting guard: platform::CatchAtBoundary whose report is one log line,
//   prefix + ": " + platform::FailureText(error)   (only the text when prefix is empty),
// after which onFailure runs, also when the log failed (what onFailure throws is dropped).
//
//   CatchAndLog(velmar::LogSeverity::Error, L"Device handle notification failed", [&] { Work(); });
#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/FailureText.h"

template <typename Body, typename OnFailure>
bool CatchAndLog(velmar::LogSeverity severity, const wchar_t* prefix, Body&& body,
                 OnFailure&& onFailure) noexcept
{
    return platform::CatchAtBoundary(static_cast<Body&&>(body),
                                     [&](const std::exception* error)
                                     {
                                         platform::CatchAtBoundary(
                                             [&]
                                             {
                                                 if (*prefix == L'\0')
                                                 {
                                                     VLOG(severity) << platform::FailureText(error);
                                                 }
                                                 else
                                                 {
                                                     VLOG(severity)
                                                         << prefix << L": " << platform::FailureText(error);
                                                 }
                                             });
                                         onFailure();
                                     });
}

template <typename Body>
bool CatchAndLog(velmar::LogSeverity severity, const wchar_t* prefix, Body&& body) noexcept
{
    return CatchAndLog(severity, prefix, static_cast<Body&&>(body), [] {});
}
