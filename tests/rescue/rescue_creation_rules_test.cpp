// The media tool's progress parser on recorded output, the coordinator's start exclusion, and the
// pipeline's command capture.
#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/process_launcher.h"
#include "platform/unique_fd.h"
#include "rescue/rescue_command_capture.h"
#include "rescue/rescue_drive_coordinator.h"
#include "rescue/rescue_drive_error.h"
#include "rescue/rescue_media_progress_parser.h"
#include "support/test_platform.h"

namespace tidewarden::rescue {
namespace {

struct Feed {
  RescueMediaProgressParser parser;
  RescueCreationProgress progress;
  double now = 100;

  void operator()(std::string_view bytes) {
    for (const std::string& line : parser.feed(bytes)) applyMediaOutputLine(progress, line, now);
    now += 1;
  }
};

// Recorded output, fed in awkward chunks: steps change at their phrases, percentages on
// their own carriage-return lines update the step, "finalizing" keeps none.
TEST(RescueMediaProgressParserTest, StepsAndCarriageReturnPercentagesFromRecordedOutput) {
  struct Row {
    std::string bytes;
    std::string step;
    std::optional<double> percent;
  };
  Feed feed;
  feed.progress.step = "startingTool";
  const std::vector<Row> rows{
      {"Ready to start.\nTo continue we need to erase the volume at /Volumes/X.\n", "startingTool", std::nullopt},
      {"Erasing disk: 0%... ", "startingTool", std::nullopt},  // not yet a whole line
      {"\r10%...", "erasing", std::nullopt},
      {"\r40%...\r70", "erasing", 40},
      {"%...\r100%\n", "erasing", 100},
      {"Copying essential files...\n", "essentialFiles", std::nullopt},
      {"COPYING THE MACOS RECOVERYOS...\n", "recoveryFiles", std::nullopt},
      {"Making disk bootable...\n", "makingBootable", std::nullopt},
      {"Copying to disk: 0%... \r12.5%...\r", "copyingInstaller", 12.5},
      {"-5%... 1.234% v10.2%x\n", "copyingInstaller", 10.2},
      {"250%\n", "copyingInstaller", 10.2},
      {"Install media now available at \"/Volumes/X\"\n\r 50%\n", "finalizing", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    feed(row.bytes);
    EXPECT_EQ(feed.progress.step, row.step);
    EXPECT_EQ(feed.progress.stepPercent, row.percent);
  }
  EXPECT_EQ(feed.progress.lastOutput, "50%");
  EXPECT_FALSE(feed.parser.overflow);
  // The client's words for a step; a step it does not know adds none.
  EXPECT_TRUE(rescueStepMessage("copyingInstaller").starts_with("Copy progress is for this step only."));
  EXPECT_EQ(rescueStepMessage("noSuchStep"), "");
}

// A line over 8191 characters is dropped whole and noted; one of exactly 8191 is read; invalid
// UTF-8 is repaired, never a reason to lose the line.
TEST(RescueMediaProgressParserTest, OverlongLinesAreDroppedAndInvalidUtf8Repaired) {
  Feed feed;
  feed.progress.step = "startingTool";
  feed(std::string(8191, 'a') + "\n");
  EXPECT_EQ(feed.progress.lastOutput->size(), 8191u);
  EXPECT_FALSE(feed.parser.overflow);
  feed(std::string(40000, '7') + "% still one line\rCopying essential files...\n");
  EXPECT_TRUE(feed.parser.overflow);
  EXPECT_EQ(feed.progress.step, "essentialFiles");
  EXPECT_FALSE(feed.progress.stepPercent.has_value());
  feed(std::string("\xff\xfe 42%\xc3") + "\n");
  EXPECT_EQ(feed.progress.stepPercent, 42);
  EXPECT_EQ(feed.progress.lastOutput, "\xef\xbf\xbd\xef\xbf\xbd 42%\xef\xbf\xbd");
}

// A start is refused while local-installer work runs, and while another operation is unfinished.
TEST(RescueDriveCoordinatorTest, StartIsRefusedWhileLocalInstallerWorkOrAnOperationRuns) {
  testing::TestPlatform platform;
  RescueDriveCoordinator coordinator(platform.platform());
  RescueDriveStartRequest request;
  request.installerPath = "/Applications/Install macOS Sequoia.app";
  request.destinationProtocol = "rescue-destination-scope-v3";
  coordinator.localInstallerWorkRunning = true;
  EXPECT_EQ(coordinator.start(request),
            (RescueDriveStartResponse{false, std::nullopt, kLocalInstallerStorageBusyMessage}));
  coordinator.localInstallerWorkRunning = false;
  coordinator.operations["RUNNING"].finished = false;
  EXPECT_EQ(coordinator.start(request),
            (RescueDriveStartResponse{false, std::nullopt, "Another Rescue Drive operation is already running."}));
  coordinator.operations["RUNNING"].finished = true;
}

// The pipeline's command runner with real children: its output whole, a flood past 2 MiB
// refused as incomplete (never read as a shorter answer), a program that cannot start.
TEST(RescueCommandCaptureTest, OutputIsWholeOrTheCommandIsRefused) {
  const platform::UniqueFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const auto launcher = platform::makeProcessLauncher(root);
  std::string streamed;
  const RescueCommandOutcome echoed =
      runRescueCommand(*launcher, "/usr/bin/dash", {"-c", "echo out; echo err >&2; exit 3"},
                       {{}, [&](std::string_view bytes) { streamed += bytes; }});
  EXPECT_EQ(echoed.output, "out\nerr\n");
  EXPECT_EQ(streamed, echoed.output);
  EXPECT_EQ(WEXITSTATUS(echoed.waitStatus), 3);
  const auto refusal = [&](const std::string& program, const std::vector<std::string>& arguments) {
    try {
      runRescueCommand(*launcher, program, arguments, {});
    } catch (const RescueDriveError& error) {
      return std::string(error.what());
    }
    return std::string("(ran)");
  };
  EXPECT_EQ(refusal("/usr/bin/dash", {"-c", "head -c 2097153 /dev/zero"}), kCommandOutputIncompleteMessage);
  EXPECT_TRUE(refusal("/no/such/tool", {}).starts_with(kCommandStartFailedPrefix));
}

}  // namespace
}  // namespace tidewarden::rescue
