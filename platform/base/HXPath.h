// The path root.
//
// Every absolute path of the other system ("/Users/Shared/...", "/tmp/...",
// "/Library/Preferences/...") lives under one root directory on this one:
// HX_ROOT when set, else "hx5100" in the user's data directory
// ($XDG_DATA_HOME, or ~/.local/share). Tests give each case its own root
// with setRoot (see testing/TempRoot.h).
#pragma once

#include <string>

namespace hx::path {

// The root directory in use, without a trailing slash.
std::string root();

// A one-line reason when HX_ROOT is set but cannot be the root (a relative
// path, which root() passes over for the default); empty when it is fine or
// unset. Programs refuse to run on such a root instead of writing elsewhere.
std::string rootProblem();

// Overrides the root for this process (tests); an empty string returns to
// HX_ROOT or the default.
void setRoot(const std::string& dir);

// Maps an absolute path of the other system under the root. The path is
// normalised lexically first ("." dropped, ".." never climbs above the
// root), so a crafted path cannot leave the root. A path already under the
// root is returned normalised but not mapped twice. A relative path is
// returned unchanged.
std::string map(const std::string& otherPath);

// The emulated user's Preferences folder, a path of the other system
// ("/Users/user/Library/Preferences"): one folder for the property-list
// preference domains and the File Manager alike.
std::string userPreferencesFolder();

} // namespace hx::path
