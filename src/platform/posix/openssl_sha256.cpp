// SHA-256 through OpenSSL's libcrypto, which libcurl already brings.
#include <openssl/evp.h>

#include <algorithm>

#include "platform/sha256.h"

namespace kv::platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->failed = state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::add(const void* data, std::size_t size) {
  if (state_->failed || size == 0) return;
  state_->failed = EVP_DigestUpdate(state_->context, data, size) != 1;
}

bool Sha256::finish(std::array<std::uint8_t, 32>& digest) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (state_->failed || EVP_DigestFinal_ex(state_->context, bytes, &length) != 1 || length != digest.size()) {
    state_->failed = true;
    return false;
  }
  state_->failed = true;  // spent
  std::copy(bytes, bytes + digest.size(), digest.begin());
  return true;
}

std::string Sha256::finishHex() {
  std::array<std::uint8_t, 32> digest{};
  if (!finish(digest)) return {};
  return hexOfBytes(digest.data(), digest.size());
}

void Sha256::reset() {
  state_->failed = state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

}  // namespace kv::platform
