#include "platform/base/HXLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace hx::log {

namespace {
std::mutex& sinkLock() {
    static std::mutex m;
    return m;
}
std::vector<Capture*>& captures() {
    static std::vector<Capture*> v;
    return v;
}
}  // namespace

bool toStderr() {
    static const bool on = [] {
        const char* v = std::getenv("HX_LOG");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

void deliver(const char* text, std::size_t len) {
    std::lock_guard<std::mutex> g(sinkLock());
    for (Capture* c : captures()) c->mText.append(text, len);
    if (toStderr()) {
        std::size_t done = 0;
        while (done < len) {
            ssize_t n = ::write(2, text + done, len - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
}

void write(const char* text, std::size_t len) { deliver(text, len); }

void vformat(const char* fmt, va_list ap) {
    char buf[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        deliver(buf, static_cast<std::size_t>(n));
        return;
    }
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    deliver(big.data(), static_cast<std::size_t>(n));
}

void format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vformat(fmt, ap);
    va_end(ap);
}

void flush() { std::lock_guard<std::mutex> g(sinkLock()); }

Capture::Capture() {
    std::lock_guard<std::mutex> g(sinkLock());
    captures().push_back(this);
}

Capture::~Capture() {
    std::lock_guard<std::mutex> g(sinkLock());
    auto& v = captures();
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

std::string Capture::text() const {
    flush();
    std::lock_guard<std::mutex> g(sinkLock());
    return mText;
}

void Capture::clear() {
    std::lock_guard<std::mutex> g(sinkLock());
    mText.clear();
}

}  // namespace hx::log

extern "C" void IOLog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    hx::log::vformat(fmt, ap);
    va_end(ap);
}
