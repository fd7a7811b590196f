// SHA-256 through OpenSSL's libcrypto, which libcurl already brings.
#include <openssl/evp.h>

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

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (state_->failed || EVP_DigestFinal_ex(state_->context, digest, &length) != 1) return {};
  state_->failed = true;  // spent
  return hexOfBytes(digest, length);
}

}  // namespace kv::platform
