// SHA-256 digests through OpenSSL, and the lower-case hexadecimal spelling of bytes.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tidewarden::platform {

// Incremental SHA-256. A failure inside OpenSSL (only possible when memory runs out
// or the library is broken) aborts: a wrong or missing digest must never be returned.
class Sha256 {
 public:
  using Digest = std::array<unsigned char, 32>;

  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // Returns the digest of everything given since construction (or the last finish)
  // and starts over, so one object can hash several messages in turn.
  Digest finish();

  // One-shot digest of `bytes`.
  static Digest of(std::string_view bytes);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// "00ff10…": two lower-case hexadecimal digits per byte.
std::string toLowerHex(const unsigned char* bytes, size_t count);

}  // namespace tidewarden::platform
