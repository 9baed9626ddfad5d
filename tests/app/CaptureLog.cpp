#include "CaptureLog.h"

#include <plog/Init.h>

CCaptureLog& TestLog()
{
    static CCaptureLog capture;
    static const bool attached = (plog::init<0>(static_cast<plog::Severity>(10), &capture), true);
    (void)attached;
    capture.Take();
    return capture;
}
