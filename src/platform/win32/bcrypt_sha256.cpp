// SHA-256 through Windows' CNG (bcrypt.dll).
#include <windows.h>
// bcrypt.h needs the types windows.h declares.
#include <bcrypt.h>

#include "platform/sha256.h"

namespace kv::platform {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->failed = BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
                   BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0;
}

void Sha256::reset() {
  if (state_->algorithm == nullptr) return;  // failed for good
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  state_->failed = BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0) != 0;
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  // BCryptHashData takes at most 4 GiB at once.
  while (!state_->failed && size > 0) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    state_->failed = BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0) != 0;
    bytes += piece;
    size -= piece;
  }
}

bool Sha256::finish(std::array<std::uint8_t, 32>& digest) {
  const bool ok = !state_->failed && BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
  state_->failed = true;  // spent
  return ok;
}

std::string Sha256::finishHex() {
  std::array<std::uint8_t, 32> digest{};
  if (!finish(digest)) return {};
  return hexOfBytes(digest.data(), digest.size());
}

}  // namespace kv::platform
