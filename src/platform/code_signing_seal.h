// Reading signed code from pinned descriptors: streamed digests, file trailers, bundle seals, Info.plist.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/code_signing.h"
#include "platform/code_signing_format.h"

namespace tidewarden::platform::codesign {

// Files are hashed in chunks of this size; no file is ever read whole into memory.
inline constexpr std::size_t kHashChunkBytes = 64 * 1024;
// Contents/Info.plist larger than this is refused (kErrSecCSInfoPlistFailed).
inline constexpr std::size_t kMaxInfoPlistBytes = 2 * 1024 * 1024;
// Nesting below the bundle directory beyond this is refused (kErrSecCSResourcesInvalid).
inline constexpr int kMaxBundleDepth = 64;

// A status with the sentence that explains it (empty when the status says it all).
struct Outcome {
  OSStatus status = kErrSecSuccess;
  std::string detail;
  bool ok() const { return status == kErrSecSuccess; }
};

// SHA-256 of the first `length` bytes of `fd` read with pread (the descriptor's offset
// is untouched, so one pinned descriptor serves several threads). The file's size and
// modification and change times are compared before and after: a file that changed or
// is shorter than `length` gives kErrSecCSStaticCodeChanged.
Outcome digestFile(int fd, std::uint64_t length, Digest& digest);

// The signature appended to a single file. `blob` stays empty for an unsigned file;
// `contentLength` is the length of the signed range (the whole file when unsigned).
// An inconsistent trailer: kErrSecCSSignatureFailed.
Outcome readFileSignature(int fd, std::optional<std::string>& blob, std::uint64_t& contentLength);

// What Contents/Info.plist says about a bundle, read beneath the pinned bundle
// directory without following links. No Contents directory: kErrSecCSBadBundleFormat;
// an unreadable, oversized or malformed Info.plist: kErrSecCSInfoPlistFailed; a named
// main executable that is not a regular file in Contents/MacOS: kErrSecCSNoMainExecutable.
// A bundle without Info.plist, or without CFBundleExecutable, has no main executable.
Outcome readBundleMainExecutable(int bundleFd, std::optional<std::string>& mainExecutable);

// The bundle's signature file; `blob` stays empty when there is none.
Outcome readBundleSignature(int bundleFd, std::optional<std::string>& blob);

// Whether `relativePath` is left out of the seal by an omit pattern (fnmatch against the
// path relative to the bundle, '*' also crossing '/'; an omitted directory omits its
// whole subtree). Contents, Contents/Info.plist, Contents/MacOS, the main executable and
// Contents/_CodeSignature are always sealed.
bool isOmitted(const std::string& relativePath, const std::vector<std::string>& omitPatterns,
               const std::string& mainExecutable);

// Walks the whole bundle beneath the pinned directory (no link followed; each file
// hashed as it is met) and returns every entry that is not omitted, sorted by path.
// The signature file itself is never part of the seal. A FIFO, socket or device:
// kErrSecCSBadResource; too many entries or too deep: kErrSecCSResourcesInvalid.
Outcome sealBundle(int bundleFd, const std::vector<std::string>& omitPatterns,
                   const std::string& mainExecutable, std::vector<SealedEntry>& entries);

// Compares a recorded seal with the bundle's current one; the first difference gives
// kErrSecCSBadResource with a detail naming the path and what happened to it.
Outcome compareSeal(const std::vector<SealedEntry>& sealed, const std::vector<SealedEntry>& current);

}  // namespace tidewarden::platform::codesign
