#include "platform/base/HXPath.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace hx::path {

namespace {

std::mutex gLock;
std::string gOverride;

std::string stripTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string defaultRoot() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return stripTrailingSlashes(xdg) + "/hx5100";
    const char* home = std::getenv("HOME");
    std::string h;
    if (home && home[0] == '/') {
        h = home;
    } else if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        h = pw->pw_dir;
    } else {
        h = "/tmp";
    }
    return stripTrailingSlashes(h) + "/.local/share/hx5100";
}

// Lexical normalisation of an absolute path: "a//b", "a/./b" and "a/x/../b"
// all become "a/b"; ".." at the top stays at the top.
std::string normalise(const std::string& p) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < p.size()) {
        std::size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string part = p.substr(i, j - i);
        if (part.empty() || part == ".") {
        } else if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    std::string out;
    for (auto& s : parts)
        out += "/" + s;
    if (p.size() > 1 && p.back() == '/' && !out.empty()) out += "/";
    return out.empty() ? "/" : out;
}

} // namespace

std::string root() {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (!gOverride.empty()) return gOverride;
    }
    const char* env = std::getenv("HX_ROOT");
    if (env && env[0] == '/') return stripTrailingSlashes(normalise(env));
    return defaultRoot();
}

std::string rootProblem() {
    const char* env = std::getenv("HX_ROOT");
    if (!env || !env[0] || env[0] == '/') return {};
    return std::string("HX_ROOT must be an absolute path, not ") + env;
}

void setRoot(const std::string& dir) {
    std::lock_guard<std::mutex> g(gLock);
    gOverride = dir.empty() ? std::string() : stripTrailingSlashes(normalise(dir));
}

std::string map(const std::string& otherPath) {
    if (otherPath.empty() || otherPath[0] != '/') return otherPath;
    const std::string r = root();
    std::string n = normalise(otherPath);
    if (r != "/" && (n == r || n.compare(0, r.size() + 1, r + "/") == 0)) return n;
    if (n == "/") return r;
    return r == "/" ? n : r + n;
}

std::string userPreferencesFolder() {
    return "/Users/user/Library/Preferences";
}

} // namespace hx::path
