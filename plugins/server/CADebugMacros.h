// printf-style messages to the system log: LogError at error priority (3),
// LogWarning at warning priority (4). Nothing is added to the text.
#pragma once

void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
