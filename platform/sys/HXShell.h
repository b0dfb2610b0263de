// The shell the suite's system() calls reach.
//
// The simulated machine has no shell of the other system, and a command meant
// for it must never run on this one. system() (defined by this library in
// place of the C library's for the whole program) knows one command form,
// "open -b <bundle identifier> [--args <argument>...]", which starts the
// program registered for that bundle identifier with posix_spawn, with the
// arguments after "--args", and answers 0 at once, as the other system's
// launcher does. An unregistered bundle starts nothing and answers exit
// status 127 (its identifier logged); any other
// command is refused (exit status 127). Both are logged. Every command is
// recorded for tests; a test hook can take commands instead of carrying them
// out. system(NULL) answers 0: there is no shell.
//
// Tests and tools that need a real program use posix_spawn or popen.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace hx::sys {

// The program (and leading arguments) started for a bundle identifier.
void registerBundleProgram(const std::string& bundleId, std::vector<std::string> argv);
void unregisterBundleProgram(const std::string& bundleId);

// While set, commands go to the hook (after being recorded) instead of being
// carried out; its result is system()'s. An empty hook restores the default.
void setSystemHook(std::function<int(const std::string& command)> hook);

// The commands system() was given, oldest first (the last 256).
std::vector<std::string> systemCommands();
void clearSystemCommands();

// Waits until every program started so far has ended (tests).
void waitForLaunchedPrograms();

} // namespace hx::sys
