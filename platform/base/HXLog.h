// The log sink behind IOLog, syslog and NSLog.
//
// Lines go to stderr unless HX_LOG=0. Tests capture what is logged with
// hx::log::Capture and assert the lines that matter. A caller on a real-time
// path must never block here.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace hx::log {

// Writes text as logged (no newline is added).
void write(const char* text, std::size_t len);
void vformat(const char* fmt, va_list ap);
void format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Waits until every line logged before the call has reached stderr and the
// active captures.
void flush();

// True unless HX_LOG=0 silences stderr (captures still see every line).
bool toStderr();

// Collects everything logged while it exists (captures nest).
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::string text() const;  // flushes first
    void clear();

private:
    friend void deliver(const char*, std::size_t);
    std::string mText;
};

}  // namespace hx::log

// The kernel's log call; its text goes to the log sink as formatted.
extern "C" void IOLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
