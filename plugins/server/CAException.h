// The one exception type of the audio server plug-in: a status code (a
// four-character code or a POSIX error number). It never leaves the plug-in:
// the driver-interface entries turn it into their OSStatus result.
#pragma once

#include "platform/base/MacTypes.h"

class CAException {
public:
    explicit CAException(OSStatus error) : mError(error) {}
    OSStatus GetError() const { return mError; }

private:
    OSStatus mError;
};
