#include "archive/file_source.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace kv::archive {

namespace {

// How much one read from the disk asks for.
constexpr std::size_t kReadAhead = 256 * 1024;

struct FileSource {
  std::shared_ptr<const platform::File> file;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;       // where the library reads next
  std::uint64_t bufferStart = 0;  // file offset of buffer[0]
  std::vector<char> buffer;       // bytes read ahead (empty: none)
  zip_error_t error{};

  ~FileSource() {
    zip_error_fini(&error);
  }

  zip_int64_t read(char* out, std::uint64_t length) {
    std::uint64_t done = 0;
    while (done < length && offset < size) {
      if (offset < bufferStart || offset >= bufferStart + buffer.size()) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kReadAhead, size - offset));
        buffer.resize(wanted);
        const std::int64_t got = file->readAt(offset, buffer.data(), wanted);
        if (got <= 0) {
          buffer.clear();
          zip_error_set(&error, got < 0 ? ZIP_ER_READ : ZIP_ER_EOF, got < 0 ? errno : 0);
          return -1;
        }
        buffer.resize(static_cast<std::size_t>(got));
        bufferStart = offset;
      }
      const auto from = static_cast<std::size_t>(offset - bufferStart);
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, buffer.size() - from));
      std::memcpy(out + done, buffer.data() + from, count);
      done += count;
      offset += count;
    }
    return static_cast<zip_int64_t>(done);
  }
};

zip_int64_t callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* source = static_cast<FileSource*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      source->offset = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return source->read(static_cast<char*>(data), length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &source->error);
      if (stat == nullptr) return -1;
      zip_stat_init(stat);
      stat->size = source->size;
      stat->valid |= ZIP_STAT_SIZE;
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source->error, data, length);
    case ZIP_SOURCE_FREE:
      delete source;
      return 0;
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t target = zip_source_seek_compute_offset(source->offset, source->size, data, length,
                                                                &source->error);
      if (target < 0) return -1;
      source->offset = static_cast<std::uint64_t>(target);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source->offset);
    case ZIP_SOURCE_ACCEPT_EMPTY:
      return 0;  // an empty file is not an archive
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                            ZIP_SOURCE_ACCEPT_EMPTY, ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

zip_source* makeFileSource(std::shared_ptr<const platform::File> file, std::uint64_t size) {
  auto* state = new (std::nothrow) FileSource;
  if (state == nullptr) return nullptr;
  state->file = std::move(file);
  state->size = size;
  zip_error_init(&state->error);
  zip_source* source = zip_source_function_create(callback, state, nullptr);
  if (source == nullptr) delete state;
  return source;
}

}  // namespace kv::archive
