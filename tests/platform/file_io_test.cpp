// File and directory primitives attacked with real links: link-refusing opens, whole reads and writes,
// no-overwrite moves, atomic creation and replacement, directory creation, listing, removal and locks.
#include "platform/file_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/directory_entries.h"
#include "platform/directory_io.h"
#include "platform/file_flags.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using namespace std::string_view_literals;
using tidewarden::testing::readFileBytes;
using tidewarden::testing::TempDir;
using tidewarden::testing::writeFileBytes;

std::string readFd(int fd) {
  std::string out;
  EXPECT_TRUE(readAll(fd, out, 1 << 20));
  return out;
}

bool isCloseOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == FD_CLOEXEC; }

SafeName name(std::string_view text) { return *SafeName::make(text); }

// root/a/b/file.txt, root/a/b/leaf -> file.txt, root/middle -> a, root/etc -> /etc,
// root/a/b/escape -> <outside>/target (which does not exist yet).
class OpenBeneathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string& r = dir_.path();
    ASSERT_TRUE(std::filesystem::create_directories(r + "/a/b"));
    writeFileBytes(r + "/a/b/file.txt", "hello");
    ASSERT_EQ(::symlink("file.txt", (r + "/a/b/leaf").c_str()), 0);
    ASSERT_EQ(::symlink("a", (r + "/middle").c_str()), 0);
    ASSERT_EQ(::symlink("/etc", (r + "/etc").c_str()), 0);
    ASSERT_EQ(::symlink((outside_.path() + "/target").c_str(), (r + "/a/b/escape").c_str()), 0);
    root_ = UniqueFd(::open(r.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_.valid());
  }

  UniqueFd open(std::string_view path, int flags = O_RDONLY, mode_t mode = 0) {
    errno = 0;
    return openBeneath(root_, path, flags, mode);
  }

  TempDir dir_;
  TempDir outside_;
  UniqueFd root_;
};

TEST_F(OpenBeneathTest, OpensTheRealPathAndRefusesEverythingElseWithItsErrno) {
  UniqueFd good = open("/a/b/file.txt");
  ASSERT_TRUE(good.valid());
  EXPECT_EQ(readFd(good.get()), "hello");
  EXPECT_TRUE(isCloseOnExec(good.get()));

  struct Refusal {
    std::string_view path;
    int flags, error, alternative = 0;  // a link in the middle is ELOOP or ENOTDIR
  };
  const Refusal refusals[] = {
      {"/a/b/leaf", O_RDONLY, ELOOP},       {"/a/missing/file.txt", O_RDONLY, ENOENT},
      {"/a/b/file.txt/more", O_RDONLY, ENOTDIR}, {"", O_RDONLY, EINVAL},
      {"a/b/file.txt", O_RDONLY, EINVAL},   {"/a//b/file.txt", O_RDONLY, EINVAL},
      {"/a/b/", O_RDONLY, EINVAL},          {"/a/./b/file.txt", O_RDONLY, EINVAL},
      {"/a/b/../b/file.txt", O_RDONLY, EINVAL}, {"/..", O_RDONLY, EINVAL},
      {"/.", O_RDONLY, EINVAL},             {"//", O_RDONLY, EINVAL},
      {"/a/b/file.txt\0/x"sv, O_RDONLY, EINVAL}, {"/", O_WRONLY, EISDIR},
      {"/middle/b/file.txt", O_RDONLY, ELOOP, ENOTDIR},
      // An absolute link target is never resolved against the real "/" either.
      {"/etc/hostname", O_RDONLY, ELOOP, ENOTDIR},
      // Creating through a dangling link creates nothing where it points.
      {"/a/b/escape", O_WRONLY | O_CREAT, ELOOP},
  };
  for (const Refusal& refusal : refusals) {
    EXPECT_FALSE(open(refusal.path, refusal.flags, 0600).valid()) << refusal.path;
    EXPECT_TRUE(errno == refusal.error || errno == refusal.alternative) << refusal.path << ": " << errnoText(errno);
  }
  EXPECT_FALSE(std::filesystem::exists(outside_.path() + "/target"));
  EXPECT_TRUE(open("/a/b/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0600).valid());
}

TEST_F(OpenBeneathTest, WalkStaysBeneathTheGivenRootWhichAloneOpensAsItself) {
  UniqueFd sub(::open((dir_.path() + "/a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(readFd(openBeneath(sub, "/b/file.txt", O_RDONLY).get()), "hello");

  UniqueFd self = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(self.valid());
  EXPECT_TRUE(entryStatusOf(self.get())->sameObject(*entryStatusOf(root_.get())));
  EXPECT_NE(self.get(), root_.get());
}

TEST_F(OpenBeneathTest, OpenAtRefusesLinksAndNuls) {
  UniqueFd b(::open((dir_.path() + "/a/b").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(b.valid());
  errno = 0;
  EXPECT_FALSE(openAt(b.get(), "leaf", O_RDONLY).valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(openAt(b.get(), std::string("file.txt\0x", 10), O_RDONLY).valid());
  EXPECT_EQ(errno, EINVAL);
  UniqueFd viaString = openAt(b.get(), std::string("file.txt"), O_RDONLY);
  ASSERT_TRUE(viaString.valid());
  EXPECT_TRUE(isCloseOnExec(viaString.get()));
  EXPECT_EQ(readFd(openAt(b.get(), name("file.txt"), O_RDONLY).get()), "hello");
}

TEST(SafeNameTest, RefusesNamesThatWalkAndAcceptsOrdinaryOnes) {
  for (std::string_view bad : {""sv, "."sv, ".."sv, "/"sv, "a/b"sv, "../x"sv, "x/"sv, "a\0b"sv}) {
    EXPECT_FALSE(SafeName::make(bad)) << bad;
  }
  for (std::string_view good : {"a", "...", ".hidden", "..x", "a b", "Install macOS Sonoma.app"}) {
    EXPECT_EQ(SafeName::make(good).value().str(), good);
  }
}

TEST(ReadWriteAllTest, ReadAllStopsOneBytePastTheLimitAndErrorsKeepErrno) {
  TempDir dir;
  std::string path = dir.path() + "/data";
  std::string payload(100000, 'x');
  payload[99999] = 'y';
  writeFileBytes(path, payload);
  std::string out = "stale";
  ASSERT_TRUE(readAll(UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)).get(), out, payload.size()));
  EXPECT_EQ(out, payload);

  UniqueFd over(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  out = "stale";
  errno = 0;
  EXPECT_FALSE(readAll(over.get(), out, payload.size() - 1));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(out.empty());
  // Only limit + 1 bytes were consumed.
  EXPECT_EQ(::lseek(over.get(), 0, SEEK_CUR), static_cast<off_t>(payload.size()));

  errno = 0;
  EXPECT_FALSE(readAll(-1, out, 10));
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_FALSE(writeAll(-1, "x"));
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(writeAll(-1, ""));  // nothing to write is not an error
}

class DirectoryChangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(folder_.valid()); }
  std::string path(const std::string& entry) const { return dir_.path() + "/" + entry; }
  bool exists(const std::string& entry) const { return fileFactsAt(folder_.get(), entry).has_value(); }

  TempDir dir_;
  UniqueFd folder_{::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
};

// A move never replaces what is at its destination, not even a dangling link, and moves a
// link as itself.
TEST_F(DirectoryChangeTest, MovesNeverReplaceAnything) {
  writeFileBytes(path("item"), "item");
  writeFileBytes(path("taken"), "taken");
  ASSERT_EQ(::symlink("nowhere", path("dangling").c_str()), 0);
  for (const char* destination : {"taken", "dangling"}) {
    errno = 0;
    EXPECT_FALSE(moveWithoutReplacing(folder_.get(), name("item"), folder_.get(), name(destination))) << destination;
    EXPECT_EQ(errno, EEXIST) << destination;
  }
  EXPECT_EQ(readFileBytes(path("item")), "item");
  EXPECT_EQ(readFileBytes(path("taken")), "taken");
  EXPECT_EQ(entryStatusAt(folder_.get(), name("dangling"))->kind, EntryKind::symbolicLink);

  const EntryStatus before = *entryStatusAt(folder_.get(), name("item"));
  ASSERT_TRUE(moveWithoutReplacing(folder_.get(), name("item"), folder_.get(), name("moved")));
  EXPECT_FALSE(exists("item"));
  const EntryStatus after = *entryStatusAt(folder_.get(), name("moved"));
  EXPECT_TRUE(after.sameContentsAs(before));
  ASSERT_TRUE(moveWithoutReplacing(folder_.get(), name("dangling"), folder_.get(), name("link")));
  EXPECT_EQ(entryStatusAt(folder_.get(), name("link"))->kind, EntryKind::symbolicLink);
}

// Readers see no file, the old one or the whole new one; a failed write leaves the name as
// it was and no temporary file behind. Created files get exactly the mode asked for.
TEST_F(DirectoryChangeTest, AtomicWritesCommitWholeOrLeaveEverythingAsItWas) {
  const mode_t previous = ::umask(077);
  const bool created = createFileAtomically(folder_.get(), name("record"), name("record.tmp"), "first", 0640);
  ::umask(previous);
  ASSERT_TRUE(created);
  EXPECT_EQ(readFileBytes(path("record")), "first");
  EXPECT_EQ(fileFactsAt(folder_.get(), "record")->permissions, 0640u);
  errno = 0;
  EXPECT_FALSE(createFileAtomically(folder_.get(), name("record"), name("record.tmp"), "second", 0600));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(readFileBytes(path("record")), "first");
  EXPECT_FALSE(exists("record.tmp"));

  EXPECT_EQ(replaceFileAtomically(folder_.get(), "record", "record.tmp", "third", 0600), ReplaceResult::replaced);
  EXPECT_EQ(readFileBytes(path("record")), "third");
  EXPECT_FALSE(exists("record.tmp"));
  // A leftover temporary name is never written through or removed by someone else's write.
  writeFileBytes(path("record.tmp"), "not ours");
  EXPECT_EQ(replaceFileAtomically(folder_.get(), "record", "record.tmp", "fourth", 0600), ReplaceResult::notCreated);
  EXPECT_FALSE(createFileAtomically(folder_.get(), name("new"), name("record.tmp"), "fourth", 0600));
  EXPECT_EQ(readFileBytes(path("record.tmp")), "not ours");
  EXPECT_FALSE(exists("new"));
  // The rename fails (a directory that is not empty holds the name): nothing is committed.
  ASSERT_EQ(::mkdir(path("folder").c_str(), 0755), 0);
  writeFileBytes(path("folder/inside"), "inside");
  EXPECT_EQ(replaceFileAtomically(folder_.get(), "folder", "folder.tmp", "fifth", 0600), ReplaceResult::notCommitted);
  EXPECT_FALSE(exists("folder.tmp"));
  EXPECT_EQ(readFileBytes(path("folder/inside")), "inside");
  EXPECT_EQ(readFileBytes(path("record")), "third");
}

TEST_F(DirectoryChangeTest, DirectoriesAreMadeWithTheirExactModeAndNeverThroughALink) {
  bool made = false;
  const mode_t previous = ::umask(077);
  UniqueFd fresh = openOrMakeDirectoryAt(folder_.get(), name("fresh"), 0751, &made);
  ::umask(previous);
  ASSERT_TRUE(fresh.valid());
  EXPECT_TRUE(made);
  EXPECT_EQ(fileFacts(fresh.get())->permissions, 0751u);
  ASSERT_EQ(::symlink("fresh", path("link").c_str()), 0);
  EXPECT_FALSE(openOrMakeDirectoryAt(folder_.get(), name("link"), 0755, &made).valid());
  EXPECT_FALSE(made);
  ASSERT_TRUE(openOrMakeDirectoriesBeneath(folder_, "/fresh/one/two", 0700).valid());
  EXPECT_TRUE(std::filesystem::is_directory(path("fresh/one/two")));
  EXPECT_FALSE(openOrMakeDirectoriesBeneath(folder_, "/link/other", 0700).valid());
  EXPECT_FALSE(exists("fresh/other"));
  for (std::string_view refused : {"/fresh//other", "/fresh/one/", "fresh/other", "/fresh/../x", ""}) {
    EXPECT_FALSE(openOrMakeDirectoriesBeneath(folder_, refused, 0700).valid()) << refused;
    EXPECT_EQ(errno, EINVAL) << refused;
  }
  EXPECT_FALSE(exists("x"));
}

// Removal takes exactly the entry named: never a directory that still holds something, never
// a directory as a file, never another entry through a name cut short at a NUL.
TEST_F(DirectoryChangeTest, RemovalsTakeOnlyWhatTheyName) {
  writeFileBytes(path("b"), "b");
  ASSERT_TRUE(createDirectoryAt(folder_.get(), "sub", 0700));
  writeFileBytes(path("sub/inner"), "x");
  EXPECT_FALSE(removeDirectoryAt(folder_.get(), "sub"));
  EXPECT_EQ(errno, ENOTEMPTY);
  EXPECT_FALSE(removeFileAt(folder_.get(), "sub"));
  EXPECT_TRUE(exists("sub/inner"));
  const std::string withNul("b\0c", 3);
  EXPECT_FALSE(removeFileAt(folder_.get(), withNul));
  EXPECT_FALSE(removeDirectoryAt(folder_.get(), withNul));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(exists("b"));
  EXPECT_TRUE(removeFileAt(folder_.get(), "b"));
  EXPECT_FALSE(exists("b"));
}

// Linux's immutable attribute (chattr +i, root only) reads as the system flag schg: the
// kernel refuses the unlink and the helper never clears it.
TEST(LinuxFileFlagsTest, TheImmutableAttributeReadsAsSchgAndIsNeverCleared) {
  TempDir dir;
  writeFileBytes(dir.path() + "/pinned", "x");
  const UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const UniqueFd file(::open((dir.path() + "/pinned").c_str(), O_RDONLY | O_CLOEXEC));
  const auto setAttributes = [&](int attributes) { return ::ioctl(file.get(), FS_IOC_SETFLAGS, &attributes) == 0; };
  if (!setAttributes(FS_IMMUTABLE_FL)) GTEST_SKIP() << "no immutable attribute here: " << errnoText(errno);
  const std::unique_ptr<FileFlags> flags = makeFileFlags();
  EXPECT_EQ(flags->entryAt(folder.get(), "pinned")->flags, kFlagSystemImmutable);
  EXPECT_FALSE(flags->clearAt(folder.get(), "pinned", kFlagSystemImmutable));
  EXPECT_FALSE(flags->removeFileAt(folder.get(), "pinned"));
  EXPECT_EQ(errno, EPERM);
  ASSERT_TRUE(setAttributes(0));
  EXPECT_EQ(flags->entryAt(folder.get(), "pinned")->flags, 0u);
  EXPECT_TRUE(flags->removeFileAt(folder.get(), "pinned"));
}

}  // namespace
}  // namespace tidewarden::platform
