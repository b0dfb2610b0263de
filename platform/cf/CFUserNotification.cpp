#include "platform/cf/CFUserNotification.h"

#include <deque>
#include <mutex>

#include "platform/base/HXLog.h"
#include "platform/cf/CFInternal.h"

namespace {

constexpr size_t kKeptNotices = 64;

std::mutex& noticeLock() {
    static std::mutex lock;
    return lock;
}

std::deque<hx::cf::UserNotice>& notices() {
    static std::deque<hx::cf::UserNotice> list;
    return list;
}

} // namespace

SInt32 CFUserNotificationDisplayNotice(CFTimeInterval timeout, CFOptionFlags flags,
                                       CFURLRef iconURL, CFURLRef, CFURLRef,
                                       CFStringRef alertHeader, CFStringRef alertMessage,
                                       CFStringRef) {
    hx::cf::UserNotice notice;
    notice.header = hx::cf::utf8(alertHeader);
    notice.text = hx::cf::utf8(alertMessage);
    notice.iconPath = iconURL ? hx::cf::urlPath(iconURL) : std::string();
    notice.level = flags & 3;
    notice.timeout = timeout;
    hx::log::format("user notice (level %lu, %.1f s, icon \"%s\"): %s: %s\n",
                    static_cast<unsigned long>(notice.level), timeout, notice.iconPath.c_str(),
                    notice.header.c_str(), notice.text.c_str());
    std::lock_guard<std::mutex> guard(noticeLock());
    notices().push_back(std::move(notice));
    if (notices().size() > kKeptNotices) notices().pop_front();
    return 0;
}

namespace hx::cf {

std::vector<UserNotice> userNotices() {
    std::lock_guard<std::mutex> guard(noticeLock());
    return {notices().begin(), notices().end()};
}

void clearUserNotices() {
    std::lock_guard<std::mutex> guard(noticeLock());
    notices().clear();
}

} // namespace hx::cf
