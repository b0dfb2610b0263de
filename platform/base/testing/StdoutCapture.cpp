#include "platform/base/testing/StdoutCapture.h"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace hx::test {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    mFile = memfd_create("hx-stdout-capture", 0);
    if (mFile < 0) std::abort();
    mSaved = dup(1);
    dup2(mFile, 1);
}

std::string StdoutCapture::finish() {
    if (mDone) return {};
    mDone = true;
    std::fflush(stdout);
    dup2(mSaved, 1);
    close(mSaved);
    std::string out;
    char buf[4096];
    lseek(mFile, 0, SEEK_SET);
    for (ssize_t n; (n = read(mFile, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    close(mFile);
    return out;
}

StdoutCapture::~StdoutCapture() {
    finish();
}

} // namespace hx::test
