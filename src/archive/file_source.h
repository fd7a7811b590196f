#pragma once

#include <cstdint>

struct zip_source;

namespace kv::archive {

// A read-only libzip data source over the open file fd of size bytes. It
// reads ahead in large pieces with pread, so extracting many small entries
// costs few system calls. The source owns fd from this call on (also when
// creation fails) and closes it when the library frees the source. Answers
// nullptr when the source cannot be made.
[[nodiscard]] zip_source* makeFileSource(int fd, std::uint64_t size);

}  // namespace kv::archive
