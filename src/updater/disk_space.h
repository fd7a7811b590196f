#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "updater/fetch_files.h"

namespace kv::updater {

// The bytes fetching items adds to the disk at most: each file's listed
// size, less what a download temporary that will be continued already
// holds. A file whose size the manifest leaves out counts nothing. The old
// copies stay until their new versions are whole, so they count as taken.
[[nodiscard]] std::uint64_t bytesToFetch(const std::vector<FetchItem>& items);

// A size as the player reads it: "512 B", "1.5 KB", "2.1 GB" (1024 to a
// unit, one decimal above bytes).
[[nodiscard]] std::string diskSizeText(std::uint64_t bytes);

// "Not enough disk space: 2.1 GB needed in eu, 1.2 GB free" when needed is
// more than the free space of the disk that holds serverDir (or, before it
// exists, its nearest folder above); nothing when it fits or the system
// cannot tell. serverName is the server folder's name as the player knows it.
[[nodiscard]] std::optional<std::string> diskSpaceShortage(const std::string& serverDir, const std::string& serverName,
                                                           std::uint64_t needed);

}  // namespace kv::updater
