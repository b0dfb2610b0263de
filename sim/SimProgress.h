// Progress of a long run on standard error: rewritten in place on a
// terminal, one line per tenth of the run otherwise.
#pragma once

#include <cstdio>

namespace hx::sim {

class Progress {
public:
    // Shows nothing when disabled or when the run is short.
    Progress(double totalSeconds, bool enabled, std::FILE* out = stderr);
    Progress(double totalSeconds, bool enabled, std::FILE* out, bool terminal);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Runs at least this long show progress.
    static constexpr double kLongRun = 5.0;

    void update(double doneSeconds);
    void finish();

private:
    double mTotal;
    bool mEnabled;
    std::FILE* mOut;
    bool mTerminal;
    int mShown = 0; // last whole second (terminal) or tenth (otherwise) shown
    bool mFinished = false;
};

} // namespace hx::sim
