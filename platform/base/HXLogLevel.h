// The level of what is logged: syslog's priority stays with the record, so a
// test can see at which level a line went out (stderr and the log file do not
// show it).
#pragma once

#include "platform/base/HXLog.h"

#include <cstddef>
#include <string>
#include <vector>

namespace hx::log {

// The level of a record that has none (IOLog, write, format).
constexpr int kNoLevel = -1;

// Writes text as logged (no newline added) at a syslog priority (LOG_ERR,
// LOG_WARNING, ...; the facility bits are dropped).
void writeAt(int level, const char* text, std::size_t len);

// One record as a capture saw it: its level and its text as logged.
struct Record {
    int level = kNoLevel;
    std::string text;
};

// The records a capture has collected so far, in order (flushes first).
std::vector<Record> records(const Capture& capture);
// The level of the first record the capture holds that contains text;
// kNoLevel when none does.
int levelOf(const Capture& capture, const std::string& text);

} // namespace hx::log
