// Streamed digests, file trailers and bundle seals read through pinned descriptors.
#include "platform/code_signing_seal.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/property_list.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform::codesign {
namespace {

constexpr int kOpenFile = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

Outcome fail(OSStatus status, std::string detail) { return Outcome{status, std::move(detail)}; }

std::string systemText(int error) {
  char buffer[256];
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

UniqueFd openAtNoFollow(int dirFd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dirFd, name, flags);
  } while (fd < 0 && errno == EINTR);
  return UniqueFd(fd);
}

// Reads exactly `size` bytes at `offset`; false on error or end of file.
bool preadFull(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t got = ::pread(fd, buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool sameContent(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reads a small regular file completely (the caller bounds its size).
Outcome readSmallFile(int fd, std::uint64_t limit, OSStatus failure, std::string& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(failure, systemText(errno));
  if (!S_ISREG(st.st_mode)) return fail(failure, "not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > limit) return fail(failure, "larger than allowed");
  out.resize(static_cast<std::size_t>(st.st_size));
  if (!preadFull(fd, out.data(), out.size(), 0)) return fail(failure, "could not be read completely");
  struct stat after;
  if (::fstat(fd, &after) != 0 || !sameContent(st, after)) return fail(failure, "changed while it was read");
  return {};
}

struct DirectoryCloser {
  void operator()(DIR* stream) const { ::closedir(stream); }
};

}  // namespace

Outcome digestFile(int fd, std::uint64_t length, Digest& digest) {
  struct stat before;
  if (::fstat(fd, &before) != 0) return fail(kErrSecCSInternalError, systemText(errno));
  if (static_cast<std::uint64_t>(before.st_size) < length) {
    return fail(kErrSecCSStaticCodeChanged, "the file is shorter than its signed range");
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return fail(kErrSecCSInternalError, "SHA-256 is unavailable");
  }
  std::vector<char> buffer(kHashChunkBytes);
  std::uint64_t offset = 0;
  while (offset < length) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
    if (!preadFull(fd, buffer.data(), chunk, offset)) {
      return fail(kErrSecCSStaticCodeChanged, "the file could not be read completely");
    }
    EVP_DigestUpdate(context.get(), buffer.data(), chunk);
    offset += chunk;
  }
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size()) {
    return fail(kErrSecCSInternalError, "SHA-256 failed");
  }
  struct stat after;
  if (::fstat(fd, &after) != 0 || !sameContent(before, after)) {
    return fail(kErrSecCSStaticCodeChanged, "the file changed while it was checked");
  }
  return {};
}

Outcome readFileSignature(int fd, std::optional<std::string>& blob, std::uint64_t& contentLength) {
  blob.reset();
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(kErrSecCSInternalError, systemText(errno));
  if (!S_ISREG(st.st_mode)) return fail(kErrSecCSStaticCodeNotFound, "not a regular file");
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  contentLength = size;
  if (size < kTrailerBytes) return {};
  std::string trailer(kTrailerBytes, '\0');
  if (!preadFull(fd, trailer.data(), trailer.size(), size - kTrailerBytes)) {
    return fail(kErrSecCSStaticCodeChanged, "the signature trailer could not be read");
  }
  std::optional<std::uint64_t> blobLength = parseFileTrailer(trailer);
  if (!blobLength) return {};
  if (*blobLength > kMaxFileBlobBytes || *blobLength > size - kTrailerBytes) {
    return fail(kErrSecCSSignatureFailed, "the signature trailer announces an impossible length");
  }
  std::string bytes(static_cast<std::size_t>(*blobLength), '\0');
  contentLength = size - kTrailerBytes - *blobLength;
  if (!preadFull(fd, bytes.data(), bytes.size(), contentLength)) {
    return fail(kErrSecCSStaticCodeChanged, "the signature could not be read");
  }
  blob = std::move(bytes);
  return {};
}

Outcome readBundleMainExecutable(int bundleFd, std::optional<std::string>& mainExecutable) {
  mainExecutable.reset();
  UniqueFd contents = openAtNoFollow(bundleFd, "Contents", kOpenDirectory);
  if (!contents) return fail(kErrSecCSBadBundleFormat, "the bundle has no Contents directory");
  UniqueFd info = openAtNoFollow(contents.get(), "Info.plist", kOpenFile);
  if (!info) {
    if (errno == ENOENT) return {};
    return fail(kErrSecCSInfoPlistFailed, "Contents/Info.plist cannot be opened: " + systemText(errno));
  }
  std::string bytes;
  Outcome read = readSmallFile(info.get(), kMaxInfoPlistBytes, kErrSecCSInfoPlistFailed, bytes);
  if (!read.ok()) return fail(read.status, "Contents/Info.plist: " + read.detail);
  // Whoever can write the bundle writes this file: only the bounded reader sees it
  // (libplist alone recurses per nesting level and expands shared references).
  const std::optional<PropertyList> plist = PropertyList::parse(bytes, kMaxInfoPlistBytes);
  if (!plist || plist->root().type() != PlistType::dictionary) {
    return fail(kErrSecCSInfoPlistFailed, "Contents/Info.plist is not a property-list dictionary");
  }
  const PlistNode executable = plist->root().get("CFBundleExecutable");
  if (!executable) return {};
  const std::optional<std::string> value = executable.asString();
  if (!value) return fail(kErrSecCSInfoPlistFailed, "CFBundleExecutable is not a string");
  const std::string& name = *value;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos || name.size() > NAME_MAX) {
    return fail(kErrSecCSNoMainExecutable, "CFBundleExecutable \"" + name + "\" is not a file name");
  }
  UniqueFd macos = openAtNoFollow(contents.get(), "MacOS", kOpenDirectory);
  struct stat st;
  if (!macos || ::fstatat(macos.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return fail(kErrSecCSNoMainExecutable, "Contents/MacOS/" + name + " is not a regular file");
  }
  mainExecutable = std::move(name);
  return {};
}

Outcome readBundleSignature(int bundleFd, std::optional<std::string>& blob) {
  blob.reset();
  UniqueFd contents = openAtNoFollow(bundleFd, "Contents", kOpenDirectory);
  if (!contents) return fail(kErrSecCSBadBundleFormat, "the bundle has no Contents directory");
  UniqueFd directory = openAtNoFollow(contents.get(), "_CodeSignature", kOpenDirectory);
  if (!directory) {
    if (errno == ENOENT) return {};
    return fail(kErrSecCSSignatureFailed, "Contents/_CodeSignature is not a directory");
  }
  UniqueFd file = openAtNoFollow(directory.get(), std::string(kBundleSignatureName).c_str(), kOpenFile);
  if (!file) {
    if (errno == ENOENT) return {};
    return fail(kErrSecCSSignatureFailed, std::string(kBundleSignaturePath) + " cannot be opened");
  }
  std::string bytes;
  Outcome read = readSmallFile(file.get(), kMaxBundleBlobBytes, kErrSecCSSignatureFailed, bytes);
  if (!read.ok()) return fail(read.status, std::string(kBundleSignaturePath) + ": " + read.detail);
  blob = std::move(bytes);
  return {};
}

bool isOmitted(const std::string& relativePath, const std::vector<std::string>& omitPatterns,
               const std::string& mainExecutable) {
  if (omitPatterns.empty()) return false;
  std::vector<std::string> alwaysSealed = {"Contents/Info.plist", std::string(kBundleSignatureDirectory),
                                           "Contents/MacOS"};
  if (!mainExecutable.empty()) alwaysSealed.push_back("Contents/MacOS/" + mainExecutable);
  for (const std::string& sealed : alwaysSealed) {
    // The path itself or one of its ancestors.
    if (sealed == relativePath ||
        (sealed.size() > relativePath.size() && sealed.compare(0, relativePath.size(), relativePath) == 0 &&
         sealed[relativePath.size()] == '/')) {
      return false;
    }
  }
  return std::any_of(omitPatterns.begin(), omitPatterns.end(), [&](const std::string& pattern) {
    return ::fnmatch(pattern.c_str(), relativePath.c_str(), 0) == 0;
  });
}

namespace {

struct SealWalk {
  const std::vector<std::string>& omitPatterns;
  const std::string& mainExecutable;
  std::vector<SealedEntry>& entries;

  Outcome walk(int dirFd, const std::string& prefix, int depth) {
    std::vector<std::string> names;
    {
      UniqueFd listing = openAtNoFollow(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      DIR* raw = listing ? ::fdopendir(listing.get()) : nullptr;
      if (!raw) return fail(kErrSecCSResourcesInvalid, "cannot list " + shown(prefix) + ": " + systemText(errno));
      (void)listing.release();  // now owned by the directory stream
      std::unique_ptr<DIR, DirectoryCloser> stream(raw);
      errno = 0;
      while (dirent* entry = ::readdir(stream.get())) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (entries.size() + names.size() >= kMaxSealedEntries) {
          return fail(kErrSecCSResourcesInvalid, "the bundle has more than " + std::to_string(kMaxSealedEntries) +
                                                     " entries");
        }
        names.emplace_back(name);
        errno = 0;
      }
      if (errno != 0) return fail(kErrSecCSResourcesInvalid, "cannot list " + shown(prefix) + ": " + systemText(errno));
    }
    for (const std::string& name : names) {
      std::string path = prefix.empty() ? name : prefix + "/" + name;
      if (path == kBundleSignaturePath || isOmitted(path, omitPatterns, mainExecutable)) continue;
      struct stat st;
      if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // gone since listing: it is simply not there
        return fail(kErrSecCSResourcesInvalid, path + ": " + systemText(errno));
      }
      SealedEntry entry;
      entry.path = path;
      if (S_ISREG(st.st_mode)) {
        entry.kind = EntryKind::file;
        UniqueFd file = openAtNoFollow(dirFd, name.c_str(), kOpenFile);
        struct stat opened;
        if (!file || ::fstat(file.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
          return fail(kErrSecCSStaticCodeChanged, path + " changed while the bundle was checked");
        }
        Outcome digest = digestFile(file.get(), static_cast<std::uint64_t>(opened.st_size), entry.digest);
        if (!digest.ok()) return fail(digest.status, path + ": " + digest.detail);
      } else if (S_ISLNK(st.st_mode)) {
        entry.kind = EntryKind::symlink;
        char target[PATH_MAX];
        ssize_t length = ::readlinkat(dirFd, name.c_str(), target, sizeof target);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) {
          return fail(kErrSecCSResourcesInvalid, path + ": the link cannot be read");
        }
        entry.target.assign(target, static_cast<std::size_t>(length));
      } else if (S_ISDIR(st.st_mode)) {
        entry.kind = EntryKind::directory;
      } else {
        return fail(kErrSecCSBadResource, path + " is not a regular file, directory or symbolic link");
      }
      entries.push_back(entry);
      if (entry.kind == EntryKind::directory) {
        if (depth + 1 > kMaxBundleDepth) {
          return fail(kErrSecCSResourcesInvalid, path + " is nested deeper than " +
                                                     std::to_string(kMaxBundleDepth) + " levels");
        }
        UniqueFd child = openAtNoFollow(dirFd, name.c_str(), kOpenDirectory);
        struct stat opened;
        if (!child || ::fstat(child.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
          return fail(kErrSecCSStaticCodeChanged, path + " changed while the bundle was checked");
        }
        Outcome nested = walk(child.get(), path, depth + 1);
        if (!nested.ok()) return nested;
      }
    }
    return {};
  }

  static std::string shown(const std::string& prefix) { return prefix.empty() ? "the bundle" : prefix; }
};

const char* kindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::file:
      return "file";
    case EntryKind::symlink:
      return "symbolic link";
    case EntryKind::directory:
      return "directory";
  }
  return "entry";
}

}  // namespace

Outcome sealBundle(int bundleFd, const std::vector<std::string>& omitPatterns, const std::string& mainExecutable,
                   std::vector<SealedEntry>& entries) {
  entries.clear();
  SealWalk walker{omitPatterns, mainExecutable, entries};
  Outcome outcome = walker.walk(bundleFd, "", 0);
  if (!outcome.ok()) return outcome;
  std::sort(entries.begin(), entries.end(),
            [](const SealedEntry& a, const SealedEntry& b) { return a.path < b.path; });
  return {};
}

Outcome compareSeal(const std::vector<SealedEntry>& sealed, const std::vector<SealedEntry>& current) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < sealed.size() || j < current.size()) {
    if (j == current.size() || (i < sealed.size() && sealed[i].path < current[j].path)) {
      return fail(kErrSecCSBadResource, "sealed " + std::string(kindName(sealed[i].kind)) + " missing: " + sealed[i].path);
    }
    if (i == sealed.size() || current[j].path < sealed[i].path) {
      return fail(kErrSecCSBadResource, std::string(kindName(current[j].kind)) + " added: " + current[j].path);
    }
    if (sealed[i].kind != current[j].kind) {
      return fail(kErrSecCSBadResource, "sealed " + std::string(kindName(sealed[i].kind)) + " is now a " +
                                            kindName(current[j].kind) + ": " + sealed[i].path);
    }
    if (!(sealed[i] == current[j])) {
      return fail(kErrSecCSBadResource, std::string(kindName(sealed[i].kind)) + " modified: " + sealed[i].path);
    }
    ++i;
    ++j;
  }
  return {};
}

}  // namespace tidewarden::platform::codesign
