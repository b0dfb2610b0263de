// Running hxsim as a user does, for the system tests: the command, its
// "key: value" report and the files it writes.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#ifndef HXSIM_PATH
#error "HXSIM_PATH must name the hxsim binary"
#endif

namespace hx::test::hxsim {

struct CommandRun {
    int status = -1;
    std::string out;
};

// Runs a shell command, collecting standard output; standard error passes
// through to the test log.
inline CommandRun runCommand(const std::string& command) {
    CommandRun r;
    std::FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// "key: value" lines.
inline std::map<std::string, std::string> fields(const std::string& text) {
    std::map<std::string, std::string> m;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const size_t v = line.find_first_not_of(' ', colon + 1);
            m[line.substr(0, colon)] = v == std::string::npos ? "" : line.substr(v);
        }
        at = end + 1;
    }
    return m;
}

inline unsigned long long leadingNumber(const std::string& s) {
    return std::strtoull(s.c_str(), nullptr, 10);
}

// The frames a match line says were compared, less those that came back
// silent or a ring lap late (across processes).
inline unsigned long long matchedFrames(const std::string& match) {
    const unsigned long long compared = leadingNumber(match.substr(match.find('(') + 1));
    const size_t semi = match.find("; ");
    if (semi == std::string::npos) return compared;
    const unsigned long long silent = leadingNumber(match.substr(semi + 2));
    const size_t comma = match.find(", ", semi);
    const unsigned long long late =
        comma == std::string::npos ? 0 : leadingNumber(match.substr(comma + 2));
    return compared - silent - late;
}

inline std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// hxsim on a road of its own choosing: args as given.
inline std::string hxsimAsGiven(const std::string& root, const std::string& args) {
    return "HX_ROOT='" + root + "' HX_LOG=0 '" HXSIM_PATH "' " + args;
}

// hxsim on the kernel road, which these tests were written for (the server
// road, hxsim's default, the HAL road and the device road have tests of
// their own).
inline std::string hxsim(const std::string& root, const std::string& args) {
    return hxsimAsGiven(root, "--road kernel " + args);
}

} // namespace hx::test::hxsim
