// Link-refusing opens and whole reads/writes, attacked with real symbolic links.
#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using tidewarden::testing::TempDir;

void writeFile(const std::string& path, const std::string& contents) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd.valid()) << path;
  ASSERT_TRUE(writeAll(fd.get(), contents));
}

std::string readFd(int fd) {
  std::string out;
  EXPECT_TRUE(readAll(fd, out, 1 << 20));
  return out;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// root/a/b/file.txt, root/a/b/leaf -> file.txt, root/middle -> a,
// root/a/b/escape -> <outside>/target (which does not exist yet).
class OpenBeneathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string& r = dir_.path();
    ASSERT_EQ(::mkdir((r + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((r + "/a/b").c_str(), 0755), 0);
    writeFile(r + "/a/b/file.txt", "hello");
    ASSERT_EQ(::symlink("file.txt", (r + "/a/b/leaf").c_str()), 0);
    ASSERT_EQ(::symlink("a", (r + "/middle").c_str()), 0);
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

TEST_F(OpenBeneathTest, OpensRealPathAndRefusesLinkAsLeaf) {
  UniqueFd good = open("/a/b/file.txt");
  ASSERT_TRUE(good.valid());
  EXPECT_EQ(readFd(good.get()), "hello");
  EXPECT_EQ(::fcntl(good.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

  UniqueFd leaf = open("/a/b/leaf");
  EXPECT_FALSE(leaf.valid());
  EXPECT_EQ(errno, ELOOP);
}

TEST_F(OpenBeneathTest, RefusesLinkInTheMiddle) {
  UniqueFd viaLink = open("/middle/b/file.txt");
  EXPECT_FALSE(viaLink.valid());
  EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errnoText(errno);
  EXPECT_TRUE(open("/a/b/file.txt").valid());
}

TEST_F(OpenBeneathTest, CreateThroughDanglingLinkCreatesNothing) {
  UniqueFd created = open("/a/b/escape", O_WRONLY | O_CREAT, 0600);
  EXPECT_FALSE(created.valid());
  EXPECT_EQ(errno, ELOOP);
  EXPECT_FALSE(exists(outside_.path() + "/target"));

  UniqueFd fresh = open("/a/b/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_TRUE(fresh.valid());
  EXPECT_TRUE(exists(dir_.path() + "/a/b/new.txt"));
}

TEST_F(OpenBeneathTest, MalformedPathsAreInvalidArguments) {
  for (std::string_view bad : {"", "a/b/file.txt", "/a//b/file.txt", "/a/b/", "/a/./b/file.txt",
                               "/a/b/../b/file.txt", "/..", "/.", "//"}) {
    EXPECT_FALSE(open(bad).valid()) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
  }
  using namespace std::string_view_literals;
  EXPECT_FALSE(open("/a/b/file.txt\0/x"sv).valid());
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(open("/a/b/file.txt").valid());
}

TEST_F(OpenBeneathTest, MissingAndNonDirectoryComponentsKeepErrno) {
  EXPECT_FALSE(open("/a/missing/file.txt").valid());
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(open("/a/b/file.txt/more").valid());
  EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(OpenBeneathTest, RootAloneIsTheRootDirectoryWithTheRequestedFlags) {
  UniqueFd self = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(self.valid());
  struct stat a {}, b {};
  ASSERT_EQ(::fstat(self.get(), &a), 0);
  ASSERT_EQ(::fstat(root_.get(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_dev, b.st_dev);
  EXPECT_NE(self.get(), root_.get());

  EXPECT_FALSE(open("/", O_WRONLY).valid());
  EXPECT_EQ(errno, EISDIR);
}

TEST_F(OpenBeneathTest, WalkStaysBeneathTheGivenRoot) {
  // An absolute link target is never resolved against the real "/" either.
  ASSERT_EQ(::symlink("/etc", (dir_.path() + "/etc").c_str()), 0);
  EXPECT_FALSE(open("/etc/hostname").valid());
  UniqueFd sub(::open((dir_.path() + "/a").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd viaSub = openBeneath(sub, "/b/file.txt", O_RDONLY);
  ASSERT_TRUE(viaSub.valid());
  EXPECT_EQ(readFd(viaSub.get()), "hello");
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
  EXPECT_EQ(::fcntl(viaString.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  UniqueFd viaName = openAt(b.get(), *SafeName::make("file.txt"), O_RDONLY);
  ASSERT_TRUE(viaName.valid());
  EXPECT_EQ(readFd(viaName.get()), "hello");
}

TEST(SafeNameTest, RefusesNamesThatWalkAndAcceptsOrdinaryOnes) {
  for (std::string_view bad : {"", ".", "..", "/", "a/b", "../x", "x/"}) {
    EXPECT_FALSE(SafeName::make(bad)) << bad;
  }
  EXPECT_FALSE(SafeName::make(std::string_view("a\0b", 3)));
  for (std::string_view good : {"a", "...", ".hidden", "..x", "a b", "Install macOS Sonoma.app"}) {
    auto name = SafeName::make(good);
    ASSERT_TRUE(name) << good;
    EXPECT_EQ(name->str(), good);
  }
}

TEST(ReadWriteAllTest, ReadAllStopsOneBytePastTheLimit) {
  TempDir dir;
  std::string path = dir.path() + "/data";
  std::string payload(100000, 'x');
  payload[99999] = 'y';
  writeFile(path, payload);

  UniqueFd exact(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string out = "stale";
  ASSERT_TRUE(readAll(exact.get(), out, payload.size()));
  EXPECT_EQ(out, payload);

  UniqueFd over(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  out = "stale";
  errno = 0;
  EXPECT_FALSE(readAll(over.get(), out, payload.size() - 1));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(out.empty());
  // Only limit + 1 bytes were consumed.
  EXPECT_EQ(::lseek(over.get(), 0, SEEK_CUR), static_cast<off_t>(payload.size()));

  UniqueFd unlimited(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(readAll(unlimited.get(), out, SIZE_MAX));
  EXPECT_EQ(out.size(), payload.size());
}

TEST(ReadWriteAllTest, ErrorsKeepErrno) {
  std::string out;
  errno = 0;
  EXPECT_FALSE(readAll(-1, out, 10));
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_FALSE(writeAll(-1, "x"));
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(writeAll(-1, ""));  // nothing to write is not an error
}

TEST(ReadWriteAllTest, WriteAllThroughAPipeLargerThanItsBuffer) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  std::string payload(1 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] { EXPECT_TRUE(readAll(readEnd.get(), received, payload.size())); });
  EXPECT_TRUE(writeAll(writeEnd.get(), payload));
  writeEnd.reset();
  reader.join();
  EXPECT_EQ(received, payload);
}

TEST(ErrnoTextTest, IsTheCLibraryText) {
  EXPECT_EQ(errnoText(ENOENT), "No such file or directory");
  EXPECT_EQ(errnoText(ELOOP), "Too many levels of symbolic links");
  EXPECT_EQ(errnoText(EACCES), "Permission denied");
  EXPECT_EQ(errnoText(99999), "Unknown error 99999");
}

}  // namespace
}  // namespace tidewarden::platform
