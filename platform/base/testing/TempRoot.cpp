#include "platform/base/testing/TempRoot.h"

#include "platform/base/HXPath.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace hx::test {

TempRoot::TempRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/hx-root-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("TempRoot: mkdtemp failed");
    mPath = buf.data();
    hx::path::setRoot(mPath);
}

TempRoot::~TempRoot() {
    hx::path::setRoot("");
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

} // namespace hx::test
