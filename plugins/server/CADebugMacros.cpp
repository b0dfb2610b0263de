#include "plugins/server/CADebugMacros.h"

#include <cstdarg>
#include <syslog.h>

#include "platform/base/HXLog.h"

void LogError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(LOG_ERR, format, args);
    va_end(args);
}

void LogWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsyslog(LOG_WARNING, format, args);
    va_end(args);
}
