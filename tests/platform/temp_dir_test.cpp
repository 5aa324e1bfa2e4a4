// The shared test directory removes its whole tree and nothing a link inside points at.
#include "support/temp_dir.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace tidewarden::testing {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void touch(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
}

TEST(TempDirTest, RemovesItsTreeButNothingThatLinksPointAt) {
  TempDir outside;
  touch(outside.path() + "/keep");
  ASSERT_EQ(::mkdir((outside.path() + "/keepdir").c_str(), 0755), 0);
  touch(outside.path() + "/keepdir/inner");

  std::string path;
  {
    TempDir dir;
    path = dir.path();
    EXPECT_EQ(path.rfind("/tmp/", 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::mkdir((path + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((path + "/a/locked").c_str(), 0755), 0);
    touch(path + "/a/locked/file");
    ASSERT_EQ(::chmod((path + "/a/locked").c_str(), 0), 0);
    ASSERT_EQ(::symlink((outside.path() + "/keep").c_str(), (path + "/a/filelink").c_str()), 0);
    ASSERT_EQ(::symlink((outside.path() + "/keepdir").c_str(), (path + "/dirlink").c_str()), 0);
    touch(path + "/frozen");
    int fd = ::open((path + "/frozen").c_str(), O_RDONLY | O_CLOEXEC);
    int flags = FS_IMMUTABLE_FL;
    bool frozen = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;  // needs root and a supporting file system
    ::close(fd);
    if (frozen) {
      EXPECT_NE(::unlink((path + "/frozen").c_str()), 0);
    }
  }
  EXPECT_FALSE(exists(path));
  EXPECT_TRUE(exists(outside.path() + "/keep"));
  EXPECT_TRUE(exists(outside.path() + "/keepdir/inner"));
}

}  // namespace
}  // namespace tidewarden::testing
