#include "support/raw_zip.h"

#include <zlib.h>

#include <stdexcept>

namespace kv::test {

namespace {

void put(std::string& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string rawDeflate(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(stream.total_out);
  return out;
}

}  // namespace

std::uint32_t crc32Of(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string buildRawZip(const std::vector<RawEntry>& entries, const RawLayout& layout) {
  std::string body;
  std::string directory;
  for (const RawEntry& entry : entries) {
    const std::string stored = entry.deflate ? rawDeflate(entry.data) : entry.data;
    const std::uint32_t crc = entry.crc.value_or(crc32Of(entry.data));
    const std::uint64_t size = entry.size.value_or(entry.data.size());
    const bool big = size >= 0xFFFFFFFFu;
    std::string extra;
    if (big) {
      put(extra, 0x0001, 2);
      put(extra, 16, 2);
      put(extra, size, 8);
      put(extra, stored.size(), 8);
    }
    const std::uint64_t offset = body.size();
    const std::uint16_t method = entry.method.value_or(entry.deflate ? 8 : 0);
    put(body, 0x04034b50, 4);
    put(body, big ? 45 : 20, 2);
    put(body, entry.flags, 2);
    put(body, method, 2);
    put(body, 0, 2);       // time
    put(body, 0x5021, 2);  // date 2020-01-01
    put(body, crc, 4);
    put(body, big ? 0xFFFFFFFFu : stored.size(), 4);
    put(body, big ? 0xFFFFFFFFu : size, 4);
    put(body, entry.name.size(), 2);
    put(body, extra.size(), 2);
    body += entry.name;
    body += extra;
    body += stored;

    put(directory, 0x02014b50, 4);
    put(directory, (static_cast<std::uint32_t>(entry.system) << 8) | 20, 2);
    put(directory, big ? 45 : 20, 2);
    put(directory, entry.flags, 2);
    put(directory, method, 2);
    put(directory, 0, 2);
    put(directory, 0x5021, 2);
    put(directory, crc, 4);
    put(directory, big ? 0xFFFFFFFFu : stored.size(), 4);
    put(directory, big ? 0xFFFFFFFFu : size, 4);
    put(directory, entry.name.size(), 2);
    put(directory, extra.size(), 2);
    put(directory, 0, 2);  // comment length
    put(directory, 0, 2);  // disk
    put(directory, 0, 2);  // internal attributes
    put(directory, static_cast<std::uint64_t>(entry.unixMode) << 16, 4);
    put(directory, offset, 4);
    directory += entry.name;
    directory += extra;
  }
  std::string image = body + directory;
  const bool zip64 = layout.zip64 || entries.size() >= 0xFFFF;
  if (zip64) {
    const std::uint64_t recordOffset = image.size();
    put(image, 0x06064b50, 4);
    put(image, 44, 8);
    put(image, 45, 2);
    put(image, 45, 2);
    put(image, 0, 4);
    put(image, 0, 4);
    put(image, entries.size(), 8);
    put(image, entries.size(), 8);
    put(image, directory.size(), 8);
    put(image, body.size(), 8);
    put(image, 0x07064b50, 4);
    put(image, 0, 4);
    put(image, recordOffset, 8);
    put(image, 1, 4);
  }
  put(image, 0x06054b50, 4);
  put(image, 0, 2);
  put(image, 0, 2);
  put(image, zip64 ? 0xFFFF : entries.size(), 2);
  put(image, zip64 ? 0xFFFF : entries.size(), 2);
  put(image, zip64 ? 0xFFFFFFFFu : directory.size(), 4);
  put(image, zip64 ? 0xFFFFFFFFu : body.size(), 4);
  put(image, layout.commentLength.value_or(static_cast<std::uint16_t>(layout.comment.size())), 2);
  image += layout.comment;
  return image;
}

}  // namespace kv::test
