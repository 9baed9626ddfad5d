#include "diagnostics/Appenders.h"

#include "diagnostics/ColorConsoleAppender.h"
#include "diagnostics/EventLogAppender.h"

plog::IAppender& GetColorConsoleAppender()
{
    static plog::ColorConsoleAppender<velmar::TxtFormatter> appender;
    return appender;
}

plog::IAppender& GetEventLogAppender()
{
    static plog::EventLogAppender<velmar::MessageOnlyFormatter> appender(L"ORVANE.CL.drv");
    return appender;
}
