// Production free space (through the root descriptor) and process signals on Linux.
#include <fcntl.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/free_space.h"
#include "platform/process_signals.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

TEST(VolumeFreeSpaceTest, MeasuresTheVolumeOfAPathBeneathTheRoot) {
  testing::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/System/Volumes/Data");
  std::filesystem::create_symlink("/", dir.path() + "/escape");
  const UniqueFd root(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::unique_ptr<FreeSpace> freeSpace = makeVolumeFreeSpace(root);

  struct statvfs volume{};
  ASSERT_EQ(::statvfs(dir.path().c_str(), &volume), 0);
  const std::optional<std::int64_t> bytes = freeSpace->freeBytes("/System/Volumes/Data");
  ASSERT_TRUE(bytes.has_value());
  // Other tests write beside us; the volume's own figure is the bound, not an exact value.
  EXPECT_GT(*bytes, 0);
  EXPECT_LE(*bytes, static_cast<std::int64_t>(volume.f_blocks * volume.f_frsize));
  EXPECT_TRUE(freeSpace->freeBytes("/").has_value());

  EXPECT_EQ(freeSpace->freeBytes("/Volumes/Absent"), std::nullopt);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(freeSpace->freeBytes("/escape/tmp"), std::nullopt);  // no link is followed
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(ProcessSignalsTest, SignalsOneProcessAndNeverAGroupOrEveryone) {
  const std::unique_ptr<ProcessSignals> signals = makeProcessSignals();
  testing::RunningProgram sleeper({"/bin/sleep", "60"});
  EXPECT_TRUE(signals->send(sleeper.pid(), SIGTERM));
  EXPECT_EQ(sleeper.waitForExit(std::chrono::seconds(30)), 128 + SIGTERM);

  for (const pid_t broadcast : {0, -1, -sleeper.pid()}) {
    errno = 0;
    EXPECT_FALSE(signals->send(broadcast, 0)) << broadcast;
    EXPECT_EQ(errno, EINVAL);
  }
}

}  // namespace
}  // namespace tidewarden::platform
