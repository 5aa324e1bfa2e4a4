// Capture, text form and parsing of the helper's runtime stamp.
#include "helper/helper_runtime_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "platform/sha256.h"
#include "platform/unique_fd.h"

namespace tidewarden::helper {
namespace {

using Kind = CaptureError::Kind;

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::optional<std::uint64_t> parseCanonicalDecimal(std::string_view piece) {
  if (piece.empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
  if (std::to_string(value) != piece) return std::nullopt;  // leading zeros, signs
  return value;
}

}  // namespace

std::string HelperRuntimeStamp::text() const {
  return std::string(kPrefix) + digest + ":" + std::to_string(device) + ":" + std::to_string(inode);
}

std::optional<HelperRuntimeStamp> HelperRuntimeStamp::parse(std::string_view text) {
  if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  if (text.size() > kMaxTextBytes) return std::nullopt;
  std::string_view rest = text.substr(kPrefix.size());
  std::vector<std::string_view> pieces;
  for (;;) {
    auto colon = rest.find(':');
    pieces.push_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  if (pieces.size() != 3 || pieces[0].size() != 64) return std::nullopt;
  for (char c : pieces[0]) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  auto device = parseCanonicalDecimal(pieces[1]);
  auto inode = parseCanonicalDecimal(pieces[2]);
  if (!device || !inode) return std::nullopt;
  return HelperRuntimeStamp{std::string(pieces[0]), *device, *inode};
}

HelperRuntimeStamp HelperRuntimeStamp::capture(const std::string& path,
                                               const std::function<void()>& afterEachRead) {
  // O_NONBLOCK only keeps a FIFO planted at the path from stalling start-up until a
  // writer appears; it is refused by type right after. Regular files ignore it.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throw CaptureError(Kind::unavailable, "cannot open " + path);
  struct stat first{};
  if (::fstat(fd.get(), &first) != 0) throw CaptureError(Kind::unavailable, "cannot examine " + path);
  if (!S_ISREG(first.st_mode)) throw CaptureError(Kind::unavailable, "not a regular file");
  if (first.st_size < 1 || static_cast<std::uint64_t>(first.st_size) > kMaxFileBytes) {
    throw CaptureError(Kind::unavailable, "size out of range");
  }

  platform::Sha256 hash;
  std::vector<unsigned char> buffer(kReadChunkBytes);
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw CaptureError(Kind::unavailable, "read failed");
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    if (total > kMaxFileBytes) throw CaptureError(Kind::changed, "grew past the limit");
    hash.update(buffer.data(), static_cast<std::size_t>(n));
    if (afterEachRead) afterEachRead();
  }

  struct stat second{};
  if (::fstat(fd.get(), &second) != 0) throw CaptureError(Kind::changed, "cannot re-examine");
  struct stat named{};
  if (::lstat(path.c_str(), &named) != 0) throw CaptureError(Kind::changed, "path vanished");
  const std::uint64_t size = static_cast<std::uint64_t>(first.st_size);
  const bool unchanged = first.st_dev == second.st_dev && first.st_ino == second.st_ino &&
                         first.st_dev == named.st_dev && first.st_ino == named.st_ino &&
                         S_ISREG(named.st_mode) && total == size &&
                         static_cast<std::uint64_t>(second.st_size) == size &&
                         static_cast<std::uint64_t>(named.st_size) == size &&
                         sameTime(first.st_mtim, second.st_mtim) && sameTime(first.st_ctim, second.st_ctim);
  if (!unchanged) throw CaptureError(Kind::changed, "changed while read");

  const auto bytes = hash.finish();
  HelperRuntimeStamp stamp{platform::toLowerHex(bytes.data(), bytes.size()),
                           static_cast<std::uint64_t>(first.st_dev), static_cast<std::uint64_t>(first.st_ino)};
  auto parsed = parse(stamp.text());
  if (!parsed) throw CaptureError(Kind::unavailable, "stamp text did not parse back");
  return *parsed;
}

}  // namespace tidewarden::helper
