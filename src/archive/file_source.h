#pragma once

#include <cstdint>
#include <memory>

#include "platform/file_system.h"

struct zip_source;

namespace kv::archive {

// A read-only libzip data source over the open file of size bytes. It
// reads ahead in large pieces at explicit offsets, so extracting many small
// entries costs few system calls and other readers of the file do not
// disturb it. The source shares the file from this call on and lets it go
// when the library frees the source. Answers nullptr when the source cannot
// be made.
[[nodiscard]] zip_source* makeFileSource(std::shared_ptr<const platform::File> file, std::uint64_t size);

}  // namespace kv::archive
