#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv::platform {

// SHA-256 over bytes fed piece by piece, computed by the system's own
// cryptography (OpenSSL's libcrypto on Linux, CNG on Windows), so that
// checking a large file runs at disk speed. Any thread; one object per
// thread.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void add(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  // Empty when the system could not compute it.
  std::string finishHex();
  // The digest's 32 bytes into digest; false when the system could not
  // compute it. The object is spent afterwards, as by finishHex.
  [[nodiscard]] bool finish(std::array<std::uint8_t, 32>& digest);
  // Starts over for new bytes, also once spent: one object can hash many
  // small pieces without asking the system for a new one each time.
  void reset();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The digest of bytes held in memory, as Sha256 gives it.
std::string sha256Hex(const void* data, std::size_t size);

// Lower-case hex of size bytes.
std::string hexOfBytes(const unsigned char* bytes, std::size_t size);

}  // namespace kv::platform
