// The shared test directory removes its whole tree and nothing a link inside points at.
#include "support/temp_dir.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;

TEST(TempDirTest, RemovesItsTreeButNothingThatLinksPointAt) {
  TempDir outside;
  fs::create_directories(outside.path() + "/keepdir");
  std::ofstream(outside.path() + "/keep").put('x');
  std::ofstream(outside.path() + "/keepdir/inner").put('x');
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    EXPECT_EQ(path.rfind("/tmp/", 0), 0u);
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
    fs::create_directories(path + "/a/locked");
    std::ofstream(path + "/a/locked/file").put('x');
    fs::permissions(path + "/a/locked", fs::perms::none);
    fs::create_symlink(outside.path() + "/keep", path + "/a/filelink");
    fs::create_directory_symlink(outside.path() + "/keepdir", path + "/dirlink");
    std::ofstream(path + "/frozen").put('x');
    int fd = ::open((path + "/frozen").c_str(), O_RDONLY | O_CLOEXEC);
    int flags = FS_IMMUTABLE_FL;
    bool frozen = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;  // needs root and a supporting file system
    ::close(fd);
    if (frozen) {
      EXPECT_NE(::unlink((path + "/frozen").c_str()), 0);
    }
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  EXPECT_TRUE(fs::exists(outside.path() + "/keep"));
  EXPECT_TRUE(fs::exists(outside.path() + "/keepdir/inner"));
}

}  // namespace
}  // namespace tidewarden::testing
