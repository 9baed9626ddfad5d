#pragma once
// The one guard for places no exception may cross: thread entries, callbacks the system calls
// (configuration manager, COM, console control, service control) and exported C functions.
//
//   platform::CatchAtBoundary([&] { Work(); },
//                             [&](const std::exception* error) { /* platform::FailureText(error) */ });
//   platform::CatchAtBoundary([&] { Work(); });   // nothing to report to
//
// A boundary that logs what crossed it uses CatchAndLog (diagnostics/BoundaryLog.h).
#include <exception>

namespace platform
{

// Runs body. An exception that leaves it is handed to report: the std::exception, or null for
// anything else. An exception thrown by report itself is swallowed, so nothing ever leaves. True when
// body returned normally.
template <typename Body, typename Report> bool CatchAtBoundary(Body&& body, Report&& report) noexcept
{
    try
    {
        body();
        return true;
    }
    catch (const std::exception& error)
    {
        try
        {
            report(&error);
        }
        catch (...)
        {
        }
    }
    catch (...)
    {
        try
        {
            report(static_cast<const std::exception*>(nullptr));
        }
        catch (...)
        {
        }
    }
    return false;
}

// For a boundary with nowhere left to report to (the failing log itself): whatever leaves body is dropped.
template <typename Body> bool CatchAtBoundary(Body&& body) noexcept
{
    return CatchAtBoundary(static_cast<Body&&>(body), [](const std::exception*) {});
}

} // namespace platform
