// Who reads the device: a few answers depend on the reading process's name
// (its first 16 characters), and 'capp' names the control panel.
#pragma once

#include <string>

namespace qnas {

// Matched in the upper-cased name: a reader whose reads are refused, and the
// DJ clients that get the plain "_CoreAudio" device name.
inline constexpr const char kRefusedReader[] = "PLATTER";
inline constexpr const char* kDJReaders[] = {"MIXDECK", "TRACKSTUDIO EXPR", "VINYLO DJ"};
// Matched at the start of the name in its own case: told the transport 'othr'.
inline constexpr const char kOtherTransportReader[] = "Cubase";

// The control panel's bundle identifier.
std::string controlPanelBundleID();

} // namespace qnas
