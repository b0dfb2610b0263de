#include "sim/SimProgress.h"

#include <unistd.h>

namespace hx::sim {

Progress::Progress(double totalSeconds, bool enabled, std::FILE* out)
    : Progress(totalSeconds, enabled, out, out && isatty(fileno(out))) {}

Progress::Progress(double totalSeconds, bool enabled, std::FILE* out, bool terminal)
    : mTotal(totalSeconds), mEnabled(enabled && out && totalSeconds >= kLongRun), mOut(out),
      mTerminal(terminal) {}

Progress::~Progress() {
    finish();
}

void Progress::update(double done) {
    if (!mEnabled || mFinished) return;
    if (done > mTotal) done = mTotal;
    const int step = mTerminal ? int(done) : int(done * 10 / mTotal);
    if (step == mShown) return;
    mShown = step;
    if (mTerminal)
        std::fprintf(mOut, "\rstreaming %d s of %.0f s", step, mTotal);
    else
        std::fprintf(mOut, "streaming %d%% (%.1f s of %.0f s)\n", step * 10, done, mTotal);
    std::fflush(mOut);
}

void Progress::finish() {
    if (!mEnabled || mFinished) return;
    mFinished = true;
    if (mTerminal && mShown > 0) {
        std::fputc('\n', mOut);
        std::fflush(mOut);
    }
}

} // namespace hx::sim
