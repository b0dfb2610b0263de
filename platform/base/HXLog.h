// The log sink behind IOLog, syslog and NSLog.
//
// Lines go to stderr unless HX_LOG=0, and to a log file while one is open.
// Tests capture what is logged with hx::log::Capture and assert the lines
// that matter. A caller on a real-time path must never block here: callers
// format into a slot of a bounded lock-free queue, and one writer thread
// drains it to stderr, the file and the captures, in the order the slots
// were claimed. Each call is one record: stderr and the file show it with
// the time it was logged ("[12.345678v] ", seconds on the clock in use, v
// for the virtual clock) and on a line of its own; captures get the text
// exactly as logged.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace hx::log {

// Writes text as logged (no newline is added).
void write(const char* text, std::size_t len);
void vformat(const char* fmt, va_list ap);
void format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Waits until every line logged before the call has reached stderr and the
// active captures.
void flush();

// Sends every later record to the file at path too (replacing what it held)
// until closeFile. False with a reason in error when it cannot be opened.
bool openFile(const std::string& path, std::string& error);
// Flushes and closes the log file; false with a reason when a record could
// not be written to it.
bool closeFile(std::string& error);

// True unless HX_LOG=0 silences stderr (captures still see every line).
bool toStderr();

// Marks the calling thread as real-time: when the queue to the writer is
// full, its lines are dropped (and counted) instead of waiting for room.
// Other threads wait for room, so nothing they log is lost.
void setRealtimeThread(bool realtime);
// Lines dropped so far because the queue was full on a real-time thread.
std::size_t droppedLines();

// Collects everything logged while it exists (captures nest).
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::string text() const; // flushes first
    void clear();

private:
    friend void deliver(const char*, std::size_t, std::uint64_t, bool);
    std::string mText;
};

} // namespace hx::log

// The kernel's log call; its text goes to the log sink as formatted.
extern "C" void IOLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The user-space system log: each call is one message, so a missing final
// newline is added. The priority is not shown. These definitions take the
// place of the C library's for the whole program.
extern "C" void syslog(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
extern "C" void vsyslog(int priority, const char* fmt, va_list ap);
