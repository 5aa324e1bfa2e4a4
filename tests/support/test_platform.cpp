// A platform bundle for tests.
#include "support/test_platform.h"

#include <fcntl.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace tidewarden::testing {

void FakeFileFlags::set(const std::string& hostPath, std::uint32_t bits) {
  struct stat st{};
  if (::lstat(hostPath.c_str(), &st) != 0) std::abort();
  flags[{st.st_dev, st.st_ino}] = bits;
}

std::optional<platform::FlaggedFileFacts> FakeFileFlags::entryAt(int dirFd, const std::string& name) {
  const auto facts = name.empty() ? platform::fileFacts(dirFd) : platform::fileFactsAt(dirFd, name);
  if (!facts) return std::nullopt;
  const auto found = flags.find({facts->device, facts->inode});
  return platform::FlaggedFileFacts{*facts, found == flags.end() ? 0u : found->second};
}

bool FakeFileFlags::clearAt(int dirFd, const std::string& name, std::uint32_t bits) {
  const auto seen = entryAt(dirFd, name);
  if (!seen) return false;
  if ((seen->flags & bits & ~platform::kUserFlags) != 0) {
    errno = EPERM;
    return false;
  }
  flags[{seen->facts.device, seen->facts.inode}] &= ~bits;
  return true;
}

bool FakeFileFlags::remove(int dirFd, const std::string& name, int how) {
  if (beforeRemoval) beforeRemoval();
  const auto parent = entryAt(dirFd, "");
  const auto seen = entryAt(dirFd, name);
  if (!parent || !seen) return false;
  if ((seen->flags & platform::kFlagsPinningEntry) != 0 || (parent->flags & platform::kFlagsPinningContents) != 0) {
    errno = EPERM;
    return false;
  }
  return ::unlinkat(dirFd, name.c_str(), how) == 0;
}

TestPlatform::TestPlatform(std::vector<platform::TrustAnchor> anchors, std::string selfExecutable,
                           std::function<std::timespec()> wallClock)
    : root_(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!root_) std::abort();
  codeSigning_ = std::make_unique<platform::CodeSigning>(
      platform::CodeSigningOptions{std::move(anchors), &root_, std::move(selfExecutable), std::move(wallClock)});
  launcher_ = platform::makeProcessLauncher(root_);
  platform_ = std::make_unique<platform::Platform>(
      platform::Platform{root_, clock, facts, *codeSigning_, *launcher_, smc, power, freeSpace, signals,
                         diskArbitration, fileFlags});
}

}  // namespace tidewarden::testing
