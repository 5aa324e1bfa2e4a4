// Fingerprint of the helper's own executable: SHA-256 of its bytes plus device and inode.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tidewarden::helper {

class CaptureError : public std::runtime_error {
 public:
  enum class Kind {
    unavailable,  // could not be opened, examined or read, or is not an acceptable file
    changed,      // changed, moved or grew past the limit while it was read
  };
  CaptureError(Kind kind, const std::string& detail) : std::runtime_error(detail), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct HelperRuntimeStamp {
  std::string digest;  // 64 lower-case hexadecimal characters
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  static constexpr std::string_view kPrefix = "helper-image-v1:";
  static constexpr std::uint64_t kMaxFileBytes = 64ull * 1024 * 1024;
  static constexpr std::size_t kReadChunkBytes = 64 * 1024;
  static constexpr std::size_t kMaxTextBytes = 128;

  // "helper-image-v1:<digest>:<device>:<inode>".
  std::string text() const;

  // Strict inverse of text(): no leading zeros, signs, upper-case digits or extra pieces.
  static std::optional<HelperRuntimeStamp> parse(std::string_view text);

  // Hashes the regular file at `path` (a final symbolic link is refused) and proves it
  // was one unchanged file from the first byte to the last: the same inode before and
  // after, still the one the path names, its size and times unchanged. Reads once, in
  // 64 KiB chunks, and never more than 64 MiB. Throws CaptureError.
  // `afterEachRead` is a test seam that runs between chunks.
  static HelperRuntimeStamp capture(const std::string& path,
                                    const std::function<void()>& afterEachRead = {});

  bool operator==(const HelperRuntimeStamp&) const = default;
};

}  // namespace tidewarden::helper
