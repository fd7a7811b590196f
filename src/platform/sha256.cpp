#include "platform/sha256.h"

namespace kv::platform {

std::string hexOfBytes(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return hex;
}

std::string sha256Hex(const void* data, std::size_t size) {
  Sha256 digest;
  digest.add(data, size);
  return digest.finishHex();
}

}  // namespace kv::platform
