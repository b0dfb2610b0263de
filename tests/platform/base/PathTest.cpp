#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

// Sets or clears an environment variable for one test.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : mName(name) {
        if (const char* old = std::getenv(name)) {
            mHad = true;
            mOld = old;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (mHad)
            setenv(mName, mOld.c_str(), 1);
        else
            unsetenv(mName);
    }

private:
    const char* mName;
    bool mHad = false;
    std::string mOld;
};

TEST(PathRoot, DefaultRootIsInTheUsersDataDirectory) {
    EnvVar root("HX_ROOT", nullptr);
    {
        EnvVar xdg("XDG_DATA_HOME", "/data/me/");
        EXPECT_EQ(hx::path::root(), "/data/me/hx5100");
    }
    EnvVar xdg("XDG_DATA_HOME", nullptr);
    EnvVar home("HOME", "/home/someone");
    EXPECT_EQ(hx::path::root(), "/home/someone/.local/share/hx5100");
}

TEST(PathRoot, EnvironmentRootWins) {
    EnvVar root("HX_ROOT", "/srv/hx//");
    EXPECT_EQ(hx::path::root(), "/srv/hx");
    EXPECT_EQ(hx::path::map("/Users/Shared/x.plist"), "/srv/hx/Users/Shared/x.plist");
}

TEST(PathRoot, ARelativeEnvironmentRootIsAProblemNamedInOneLine) {
    struct Case {
        const char* value; // null: unset
        const char* problem;
    };
    const Case cases[] = {{nullptr, ""},
                          {"", ""},
                          {"/srv/hx", ""},
                          {"rel", "HX_ROOT must be an absolute path, not rel"},
                          {"./x/", "HX_ROOT must be an absolute path, not ./x/"}};
    for (const Case& c : cases) {
        EnvVar root("HX_ROOT", c.value);
        EXPECT_EQ(hx::path::rootProblem(), c.problem) << (c.value ? c.value : "(unset)");
    }
}

TEST(PathRoot, MapsAbsolutePathsUnderTheRoot) {
    hx::test::TempRoot tmp;
    const std::string r = tmp.path();
    EXPECT_EQ(hx::path::root(), r);
    struct Case {
        const char* in;
        std::string out;
    };
    const Case cases[] = {
        {"/Users/Shared/HX/settings.xml", r + "/Users/Shared/HX/settings.xml"},
        {"/tmp/x", r + "/tmp/x"},
        {"/Library//Preferences/./a.plist", r + "/Library/Preferences/a.plist"},
        {"/a/b/../c", r + "/a/c"},
        {"/../../etc/passwd", r + "/etc/passwd"}, // never climbs out of the root
        {"/tmp/dir/", r + "/tmp/dir/"},
        {"/", r},
        {"relative/file", "relative/file"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hx::path::map(c.in), c.out) << c.in;
    // Mapping is idempotent.
    EXPECT_EQ(hx::path::map(hx::path::map("/tmp/x")), r + "/tmp/x");
}

TEST(PathRoot, TempRootIsCreatedAndRemoved) {
    std::string where;
    {
        hx::test::TempRoot tmp;
        where = tmp.path();
        EXPECT_TRUE(std::filesystem::is_directory(where));
        std::filesystem::create_directories(hx::path::map("/Users/Shared/deep/dir"));
    }
    EXPECT_FALSE(std::filesystem::exists(where));
    EXPECT_NE(hx::path::root(), where);
}

} // namespace
