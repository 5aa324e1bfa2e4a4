// Path grammar and canonical spelling, and the link-refusing walks on a real temporary tree used as the root.
#include "storage/safe_paths.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "storage/installer_file_identity.h"
#include "storage/installer_safety_error.h"
#include "support/preparation_root.h"
#include "support/temp_dir.h"

namespace tidewarden::storage {
namespace {

using platform::UniqueFd;

const std::string kRoot(kDownloadsRoot);

const auto refusal = [](auto&& action) { return testing::storageRefusal(action); };

TEST(PathGrammarTest, CanonicalSpellings) {
  std::string longest = "/";
  while (longest.size() + 101 <= kMaxPathBytes) longest += std::string(100, 'p') + "/";
  longest += std::string(kMaxPathBytes - longest.size(), 'q');
  ASSERT_EQ(longest.size(), kMaxPathBytes);
  const std::pair<std::string, std::string> cases[] = {
      {"/System/Volumes/Data/Users/Shared/Tidewarden/Downloads/x.pkg", "/Users/Shared/Tidewarden/Downloads/x.pkg"},
      {"/System/Volumes/Data", "/System/Volumes/Data"},
      {"/var/folders/ab/cd/C/com.apple.SoftwareUpdate", "/private/var/folders/ab/cd/C/com.apple.SoftwareUpdate"},
      {"/System/Volumes/Data/var/tmp/x/", "/private/var/tmp/x"},
      {"/var", "/var"},  // only "/var/" is the link's spelling
      {"/a/b/", "/a/b"},
      {"/" + std::string(255, 'c'), "/" + std::string(255, 'c')},
      {longest, longest},
  };
  for (const auto& [path, canonical] : cases) EXPECT_EQ(canonicalPath(path), canonical) << path;
  EXPECT_EQ(pathComponents("/a/b c/d"), (std::vector<std::string>{"a", "b c", "d"}));
  EXPECT_EQ(pathComponents("/a/b/"), std::nullopt);  // the grammar itself takes no trailing slash
}

TEST(PathGrammarTest, MalformedPathsAreRefusedWithThePathAsGiven) {
  const std::vector<std::string> malformed = {"", "relative/path", "/", "/a/b//", "/a//b", "/a/./b", "/a/../b",
                                              "/a/..", "/a/line\nfeed", "/a/carriage\rreturn",
                                              std::string("/a/nul\0byte", 11), "/" + std::string(256, 'c'),
                                              "/" + std::string(kMaxPathBytes, 'p')};
  for (const std::string& path : malformed) {
    EXPECT_EQ(pathComponents(path), std::nullopt) << path;
    // (A message ends at a NUL, like every C string it is shown as.)
    EXPECT_EQ(refusal([&] { canonicalPath(path); }), "Malformed preparation path: " + path.substr(0, path.find('\0')))
        << path;
  }
}

TEST(PathGrammarTest, ApprovedRootsAreProperPrefixesByComponent) {
  EXPECT_EQ(approvedRelativeComponents(kRoot + "/a/b.pkg", kRoot), (std::vector<std::string>{"a", "b.pkg"}));
  EXPECT_EQ(approvedRelativeComponents("/System/Volumes/Data" + kRoot + "/x/", kRoot + "/"),
            std::vector<std::string>{"x"});
  EXPECT_EQ(approvedRelativeComponents("/var/folders/ab/C", kSoftwareUpdateCachesBase),
            (std::vector<std::string>{"ab", "C"}));
  for (const std::string& outside : {kRoot, std::string("/Users/Shared/Tidewarden/DownloadsX/a"), std::string("/Users/Shared")}) {
    EXPECT_EQ(refusal([&] { approvedRelativeComponents(outside, kRoot); }),
              "Preparation path is outside its exact approved root. Path: " + outside + ". Root: " + kRoot + ".");
  }
  EXPECT_EQ(refusal([] { approvedRelativeComponents(kRoot + "/a", "/Users//Shared"); }),
            "Malformed preparation path: /Users//Shared");
}

TEST(PathGrammarTest, WorkspaceIdentifierIsOneUpperCaseUuidBelowThePreparationRoot) {
  const std::string uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
  const std::string root(kPreparationRoot);
  EXPECT_EQ(workspaceIdentifier(root + "/" + uuid), uuid);
  EXPECT_EQ(workspaceIdentifier("/var/tmp/com.ambergrove.Tidewarden/InstallAssistant/" + uuid + "/"), uuid);
  for (const std::string& other : {root + "/0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0", root + "/" + uuid + "/Expanded",
                                   root + "/not-a-uuid", root, root + "//" + uuid, kRoot + "/" + uuid}) {
    EXPECT_EQ(workspaceIdentifier(other), std::nullopt) << other;
  }
}

// A real tree used as the platform's root:
//   /Users/Shared/Tidewarden/Downloads/sub/file.pkg   "payload"
class SafePathWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(real(kRoot + "/sub"));
    write(kRoot + "/sub/file.pkg", "payload");
    root_ = UniqueFd(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_.valid());
  }
  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }

  std::string real(const std::string& logical) const { return dir_.path() + logical; }
  void write(const std::string& logical, const std::string& bytes) {
    std::ofstream(real(logical), std::ios::binary | std::ios::trunc) << bytes;
  }
  void link(const std::string& target, const std::string& logical) {
    ASSERT_EQ(::symlink(target.c_str(), real(logical).c_str()), 0);
  }
  std::string contents(const UniqueFd& fd) {
    std::string bytes;
    EXPECT_TRUE(platform::readAll(fd.get(), bytes, 1 << 20));
    return bytes;
  }
  std::string openRefusal(const std::string& path) {
    return refusal([&] { openFileBeneathApprovedRoot(root_, path, kRoot); });
  }
  InstallerFileIdentity identity(const std::string& logical) {
    std::optional<platform::FileFacts> facts = platform::fileFactsAt(AT_FDCWD, real(logical));
    EXPECT_TRUE(facts.has_value());
    return facts ? fileIdentity(*facts) : InstallerFileIdentity{};
  }
  // mount(2) at `logical`, undone after the test; false when this machine does not allow it.
  bool mountAt(const char* source, const std::string& logical, const char* type, unsigned long flags,
               const char* data) {
    if (::mount(source, real(logical).c_str(), type, flags, data) != 0) return false;
    mounts_.push_back(real(logical));
    return true;
  }

  testing::TempDir dir_;
  UniqueFd root_;
  std::vector<std::string> mounts_;
};

// The walks open real directories and regular files, in either spelling; a link, as the
// leaf, in the middle or above the approved root, and every other kind are refused.
TEST_F(SafePathWalkTest, WalksOpenDirectoriesAndFilesAndRefuseLinksAndOtherKinds) {
  const UniqueFd directory = openDirectoryNoFollow(root_, kRoot + "/sub");
  ASSERT_TRUE(directory.valid());
  EXPECT_TRUE(platform::fileFactsAt(directory.get(), "file.pkg")->regular);
  EXPECT_EQ(contents(openFileBeneathApprovedRoot(root_, kRoot + "/sub/file.pkg", kRoot)), "payload");
  EXPECT_EQ(contents(openFileBeneathApprovedRoot(root_, "/System/Volumes/Data" + kRoot + "/sub/file.pkg", kRoot)),
            "payload");

  link("sub", kRoot + "/linked");
  link("file.pkg", kRoot + "/sub/link.pkg");
  for (const auto& [path, message] : std::vector<std::pair<std::string, std::string>>{
           {kRoot + "/sub/", "Invalid directory path."},
           {kRoot + "/linked", "Could not safely open " + kRoot + "/linked: Not a directory"},
           {kRoot + "/linked/deeper", "Could not safely open " + kRoot + "/linked/deeper: Not a directory"},
           {kRoot + "/absent", "Could not safely open " + kRoot + "/absent: No such file or directory"}}) {
    EXPECT_EQ(refusal([&] { openDirectoryNoFollow(root_, path); }), message);
  }
  ASSERT_EQ(::mkfifo(real(kRoot + "/sub/fifo.pkg").c_str(), 0600), 0);
  const std::string notRegular = "Preparation input is not a regular file on the approved filesystem: ";
  const std::string cannotOpen = "Could not safely open preparation file ";
  const std::pair<std::string, std::string> cases[] = {
      {kRoot + "/linked/file.pkg",
       "Unsafe or unreadable preparation ancestor linked in " + kRoot + "/linked/file.pkg: Not a directory"},
      {kRoot + "/sub/link.pkg", cannotOpen + kRoot + "/sub/link.pkg: Too many levels of symbolic links"},
      {kRoot + "/sub/absent.pkg", cannotOpen + kRoot + "/sub/absent.pkg: No such file or directory"},
      {kRoot + "/sub", notRegular + kRoot + "/sub."},
      {kRoot + "/sub/fifo.pkg", notRegular + kRoot + "/sub/fifo.pkg."},  // and the open did not wait for a writer
      {"/Users/Shared/Tidewarden/file.pkg", "Preparation path is outside its exact approved root. Path: "
                                            "/Users/Shared/Tidewarden/file.pkg. Root: " + kRoot + "."},
  };
  for (const auto& [path, message] : cases) EXPECT_EQ(openRefusal(path), message);

  // A link above the approved root fails opening the root itself.
  std::filesystem::rename(real("/Users/Shared"), real("/Users/Elsewhere"));
  link("Elsewhere", "/Users/Shared");
  EXPECT_EQ(openRefusal(kRoot + "/sub/file.pkg"), "Could not safely open " + kRoot + ": Not a directory");
}

TEST_F(SafePathWalkTest, MountPointInsideTheApprovedRootIsAFilesystemBoundary) {
  std::filesystem::create_directories(real(kRoot + "/mounted"));
  if (!mountAt("tidewarden-test", kRoot + "/mounted", "tmpfs", 0, "size=1m")) {
    GTEST_SKIP() << "mount(2) is not allowed here: " << platform::errnoText(errno);
  }
  std::filesystem::create_directories(real(kRoot + "/mounted/inner"));
  write(kRoot + "/mounted/inner/file.pkg", "elsewhere");
  write(kRoot + "/sub/bound.pkg", "covered");
  ASSERT_TRUE(mountAt(real(kRoot + "/mounted/inner/file.pkg").c_str(), kRoot + "/sub/bound.pkg", nullptr, MS_BIND,
                      nullptr));

  EXPECT_EQ(openRefusal(kRoot + "/mounted/inner/file.pkg"),
            "Unexpected filesystem boundary within " + kRoot + "/mounted/inner/file.pkg.");
  // A file of another file system bound over a file inside the root.
  EXPECT_EQ(openRefusal(kRoot + "/sub/bound.pkg"),
            "Preparation input is not a regular file on the approved filesystem: " + kRoot + "/sub/bound.pkg.");
  // The same walk is fine when the approved root is the mounted file system itself.
  EXPECT_EQ(contents(openFileBeneathApprovedRoot(root_, kRoot + "/mounted/inner/file.pkg", kRoot + "/mounted")),
            "elsewhere");
}

TEST_F(SafePathWalkTest, IdentityFollowsTheFileItsTimesAndItsOwner) {
  const std::string file = kRoot + "/sub/file.pkg";
  const InstallerFileIdentity first = identity(file);
  EXPECT_EQ(identity(file), first);
  const UniqueFd open = openFileBeneathApprovedRoot(root_, file, kRoot);
  EXPECT_EQ(fileIdentity(*platform::fileFacts(open.get())), first);  // descriptor and name agree
  EXPECT_EQ(std::tuple(first.logicalBytes, first.links, first.owner), std::tuple(7, 1u, ::geteuid()));
  // (Content and links: see the engine's tests of a download changed during its wait.)
  const timespec past[2] = {{1000000000, 5}, {1000000000, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, real(file).c_str(), past, 0), 0);
  const InstallerFileIdentity touched = identity(file);
  EXPECT_NE(touched, first);
  EXPECT_EQ(std::tuple(touched.modifiedSeconds, touched.modifiedNanoseconds), std::tuple(1000000000, 5));
  ASSERT_EQ(::chown(real(file).c_str(), 4321, static_cast<gid_t>(-1)), 0);
  const InstallerFileIdentity chowned = identity(file);
  EXPECT_NE(chowned, touched);
  EXPECT_EQ(chowned.owner, 4321u);
  // The same bytes renamed over the name are another file.
  write(kRoot + "/sub/new", "payload");
  std::filesystem::rename(real(kRoot + "/sub/new"), real(file));
  EXPECT_NE(identity(file), chowned);
}

TEST_F(SafePathWalkTest, BoundedReadsRefuseEmptyAndOversizedFiles) {
  const std::string file = kRoot + "/sub/operation.json";
  const std::string refused = "Metadata is empty or exceeds its size limit: " + file + ".";
  write(file, std::string(16, 'm'));
  EXPECT_EQ(readBoundedMetadata(root_, file, kRoot, 16), std::string(16, 'm'));
  EXPECT_EQ(refusal([&] { readBoundedMetadata(root_, file, kRoot, 15); }), refused);
  write(file, "");
  EXPECT_EQ(refusal([&] { readBoundedMetadata(root_, file, kRoot, 16); }), refused);
}

TEST_F(SafePathWalkTest, BoundedReadsRefuseAFileGrowingWhileRead) {
  constexpr std::size_t kLimit = 256 * 1024;
  const std::string file = kRoot + "/sub/growing.plist";
  write(file, "x");
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    // Each round starts a new file (renamed over the old one) and only appends to it:
    // per file the size only grows, so any change during a read shows in its identity.
    // (A file truncated and regrown to the same size within one timestamp tick would
    // not; that is a limit of identities, not what this test is about.)
    const std::string record(4096, 'r');
    while (!stop) {
      write(kRoot + "/sub/next", "x");
      std::filesystem::rename(real(kRoot + "/sub/next"), real(file));
      const int fd = ::open(real(file).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd < 0) return;
      for (std::size_t written = 0; written < 2 * kLimit && !stop; written += record.size()) {
        if (::write(fd, record.data(), record.size()) < 0) break;
      }
      ::close(fd);
    }
  });
  // Every answer is either bytes the file held, within the limit, or one of the
  // refusals; a growth caught in the middle of a read must show up as grown or
  // changed. What a read cannot promise is whole records: one write spanning two
  // pages can be seen half done with the size and times already final, so a torn
  // prefix passes the identity check (the caller's parser then refuses it).
  int caughtMidRead = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (caughtMidRead == 0 && std::chrono::steady_clock::now() < until) {
    try {
      const std::string bytes = readBoundedMetadata(root_, file, kRoot, kLimit);
      ASSERT_FALSE(bytes.empty());
      EXPECT_LE(bytes.size(), kLimit);
      EXPECT_EQ(bytes[0], 'x');
      EXPECT_EQ(bytes.find_first_not_of('r', 1), std::string::npos);
    } catch (const InstallerSafetyError& error) {
      const std::string message = error.what();
      if (message == "Metadata grew beyond its size limit: " + file + "." ||
          message == "Metadata changed while it was read: " + file + ".") {
        ++caughtMidRead;
      } else {
        EXPECT_EQ(message, "Metadata is empty or exceeds its size limit: " + file + ".");
      }
    }
  }
  stop = true;
  writer.join();
  EXPECT_GT(caughtMidRead, 0);
}

}  // namespace
}  // namespace tidewarden::storage
