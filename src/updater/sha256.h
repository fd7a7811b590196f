#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::updater {

// SHA-256 over bytes fed piece by piece, for the check of files the updater
// put together from several answers. Portable, so that every build of the
// launcher has it.
class Sha256 {
 public:
  Sha256();
  void add(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string finishHex();

 private:
  void block(const unsigned char* data);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace kv::updater
