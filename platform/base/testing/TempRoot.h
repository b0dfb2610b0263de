// A fresh, empty path root for one test: created under the system's temporary
// directory, installed with hx::path::setRoot, removed with its contents when
// the object goes.
#pragma once

#include <string>

namespace hx::test {

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

} // namespace hx::test
