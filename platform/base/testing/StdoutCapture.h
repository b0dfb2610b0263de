// Captures what the process writes to standard output (file descriptor 1)
// between construction and finish().
#pragma once

#include <string>

namespace hx::test {

class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Restores stdout and returns everything written since construction.
    std::string finish();

private:
    int mSaved = -1;
    int mFile = -1;
    bool mDone = false;
};

} // namespace hx::test
