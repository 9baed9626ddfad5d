#pragma once
// The two appenders a run can give to plog::init<0>. Both are built on first use and live until the
// process exits; the main routine builds both at the start of every run.
#include <plog/Appenders/IAppender.h>

// TxtFormatter lines on standard error, coloured when it is a console.
plog::IAppender& GetColorConsoleAppender();

// Reports to the event-log source "ORVANE.CL.drv".
plog::IAppender& GetEventLogAppender();
