// User notices: a notice is never shown on this machine; it is logged and
// recorded, so a test can read what the user would have seen.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFURL.h"

#include <string>
#include <vector>

enum : CFOptionFlags {
    kCFUserNotificationStopAlertLevel = 0,
    kCFUserNotificationNoteAlertLevel = 1,
    kCFUserNotificationCautionAlertLevel = 2,
    kCFUserNotificationPlainAlertLevel = 3,
};

// Answers 0 at once: a notice has no response.
SInt32 CFUserNotificationDisplayNotice(CFTimeInterval timeout, CFOptionFlags flags,
                                       CFURLRef iconURL, CFURLRef soundURL,
                                       CFURLRef localizationURL, CFStringRef alertHeader,
                                       CFStringRef alertMessage, CFStringRef defaultButtonTitle);

namespace hx::cf {

struct UserNotice {
    std::string header;
    std::string text;
    std::string iconPath; // the other system's path, empty for none
    CFOptionFlags level = 0;
    CFTimeInterval timeout = 0;
};

// The notices displayed so far, oldest first (the last 64).
std::vector<UserNotice> userNotices();
void clearUserNotices();

} // namespace hx::cf
