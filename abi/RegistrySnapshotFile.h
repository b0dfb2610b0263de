// Where the registry snapshot (the driver's "ChannelSettings" and the other
// registry values user programs read without the kernel) is written, and the
// modes it is written with. Both snapshot writers use these.
#pragma once

#include <cstdint>

namespace hx::snapshot {

constexpr const char* kFolderPath = "/Users/Shared/Quarnel/";
constexpr const char* kFileName = "com.korvex.hx5100.plist";
constexpr int32_t kFolderMode = 07777; // the set-id bits are dropped when applied
constexpr int32_t kFileMode = 0644;

} // namespace hx::snapshot
