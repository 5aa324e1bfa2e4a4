// SHA-256 over OpenSSL's EVP interface.
#include "platform/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace tidewarden::platform {

struct Sha256::Context {
  EVP_MD_CTX* ctx = nullptr;
  ~Context() { EVP_MD_CTX_free(ctx); }
};

namespace {

void startDigest(EVP_MD_CTX* ctx) {
  if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) std::abort();
}

}  // namespace

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->ctx = EVP_MD_CTX_new();
  if (context_->ctx == nullptr) std::abort();
  startDigest(context_->ctx);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(const void* data, size_t size) {
  if (!context_) std::abort();  // used after being moved from
  if (size == 0) return;
  if (EVP_DigestUpdate(context_->ctx, data, size) != 1) std::abort();
}

Sha256::Digest Sha256::finish() {
  if (!context_) std::abort();
  Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_->ctx, digest.data(), &length) != 1 || length != digest.size()) std::abort();
  startDigest(context_->ctx);
  return digest;
}

Sha256::Digest Sha256::of(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

std::string toLowerHex(const unsigned char* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return text;
}

}  // namespace tidewarden::platform
