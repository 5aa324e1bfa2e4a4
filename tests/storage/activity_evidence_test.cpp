// Activity evidence: readings of tool results, and the checks run through the real runner
// against the simulated Mac's lsof, ps and hdiutil.
#include <unistd.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_tools.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_tools.h"
#include "sim/world.h"
#include "storage/activity_evidence.h"
#include "storage/tool_output_readers.h"
#include "support/temp_dir.h"

namespace tidewarden::storage {

void PrintTo(const InstallerActivityEvidence& evidence, std::ostream* out) {
  static const char* const kKinds[] = {"blocked", "unknown", "clear"};
  *out << kKinds[static_cast<int>(evidence.kind())] << "(" << evidence.text() << ")";
}

namespace {

using Evidence = InstallerActivityEvidence;

const std::string kDownload = "/Users/Shared/Tidewarden/Downloads/a/InstallAssistant.pkg";
const std::string kOtherDownload = "/Users/Shared/Tidewarden/Downloads/b/InstallAssistant.pkg";
const std::string kWorkspace = "/private/var/tmp/com.ambergrove.Tidewarden/InstallAssistant/5E0A";

ScopedCommandResult ran(std::int32_t status, std::string output, std::string error = {}, bool complete = true) {
  return {status, std::move(output), std::move(error), complete};
}

Evidence unknown(const char* text) { return Evidence::unknown(text); }

TEST(ActivityEvidenceReading, OpenDownloadFilesNeedAnAnswerOfTheRightShape) {
  const std::vector<std::string> paths{kDownload, kOtherDownload + "/"};
  const auto both = [&](const Evidence& first, const Evidence& second) {
    return std::map<std::string, Evidence>{{kDownload, first}, {kOtherDownload, second}};
  };
  EXPECT_EQ(readOpenFileEvidence(paths, ran(1, " \n")), both(Evidence::clear(), Evidence::clear()));
  EXPECT_EQ(readOpenFileEvidence(paths, ran(0, "p5\nf3\nn" + kDownload + "\n")),
            both(Evidence::blocked(kOpenInstallerFileMessage), Evidence::clear()));
  // A path that is not canonical, a warning with exit 1, a capture cut short, another
  // status, a death by a signal, and exit 0 with lines that are not field records or a
  // process with no file (lsof found something and did not say what).
  const Evidence handles = unknown(kOpenHandlesUnknownMessage);
  for (const ScopedCommandResult& result :
       {ran(0, "p5\nf3\nn/var/../x\n"), ran(1, "lsof: WARNING\n"), ran(0, "", "", false), ran(2, ""), ran(0, ""),
        ran(0, "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME\n"), ran(0, "p5\n"), ran(kScopedStatusSignalBase + 1, "")}) {
    EXPECT_EQ(readOpenFileEvidence(paths, result), both(handles, handles)) << result.standardOutput;
  }
  // A candidate without a canonical spelling is kept as given and never cleared.
  EXPECT_EQ(readOpenFileEvidence({"relative/x"}, ran(1, "")), (std::map<std::string, Evidence>{{"relative/x", handles}}));
}

TEST(ActivityEvidenceReading, PreparationOpenFilesIgnoreOnlyTheHelpersOwnRecords) {
  const Evidence unexpected = unknown(kPreparationOpenFilesUnexpectedMessage);
  const std::pair<ScopedCommandResult, Evidence> cases[] = {
      {ran(1, ""), Evidence::clear()},
      {ran(0, "p4242\nf3\nn" + kWorkspace + "/a\n"), Evidence::clear()},
      {ran(0, "p4242\nf3\nn/a\np611\nfcwd\nn" + kWorkspace + "\n"),
       Evidence::blocked("Another process (PID 611) still has preparation files open. Nothing was removed.")},
      // lsof found something yet printed no record; a warning with exit 1; another status.
      {ran(0, ""), unexpected},
      {ran(1, "p611\nf3\nn/a\n"), unexpected},
      {ran(2, ""), unexpected},
      {ran(0, "p611\np4242\nf3\nn/a\n"), unknown(kLsofRecordsIncompleteMessage)},
      {ran(1, "\xff"), unknown(kLsofUndecodableMessage)},
      {ran(0, "p611\nf3\nn/a\n", "", false), unknown(kPreparationOpenFilesIncompleteMessage)},
  };
  for (const auto& [result, expected] : cases) {
    EXPECT_EQ(readPreparationOpenFileEvidence(result, 4242), expected) << result.standardOutput;
  }
}

TEST(ActivityEvidenceReading, ProcessListsAreComparedByLowerCasedLastComponent) {
  const std::string system = "/sbin/launchd\n/usr/libexec/logd\n";
  EXPECT_EQ(readInstallationProcessEvidence(ran(0, system)), Evidence::clear());
  EXPECT_EQ(readInstallationProcessEvidence(
                ran(0, system + "  /System/Library/PrivateFrameworks/X.framework/InstallAssistant  \n")),
            Evidence::blocked(kInstallationProcessRunningMessage));
  // Only the exact name blocks: a longer one or a folder of that name does not.
  EXPECT_EQ(readInstallationProcessEvidence(ran(0, system + "/usr/bin/softwareupdated\n/softwareupdate/x\n")),
            Evidence::clear());
  EXPECT_EQ(readPreparationProcessEvidence(ran(0, system + "/usr/sbin/PKGUTIL\n")),
            Evidence::blocked(kPreparationProcessRunningMessage));
  EXPECT_EQ(readPreparationProcessEvidence(ran(0, system + "/usr/sbin/installer\n")), Evidence::clear());
  // A listing without launchd, a blank line, ps's other forms (a header, "pid args"
  // lines, in which softwareupdate's name is followed by its arguments), or a death
  // by a signal: not a listing of every process, so nothing can be said to be absent.
  for (const ScopedCommandResult& failed :
       {ran(0, " \n"), ran(1, system), ran(0, system, "ps: warning"), ran(0, system, "", false),
        ran(0, "not a process line\n"), ran(0, "/usr/libexec/logd\n"), ran(0, system + "\n/usr/bin/x\n"),
        ran(0, "  PID TTY           TIME CMD\n" + system),
        ran(0, "    1 /sbin/launchd\n  512 /usr/sbin/softwareupdate --background\n"),
        ran(0, system + "/usr/bin/a\x01\n"), ran(0, system + "\xff\n"),
        ran(kScopedStatusSignalBase + 1, system, "", false)}) {
    EXPECT_EQ(readInstallationProcessEvidence(failed), unknown(kInstallationProcessUnknownMessage));
    EXPECT_EQ(readPreparationProcessEvidence(failed), unknown(kPreparationProcessUnknownMessage));
  }
}

TEST(ActivityEvidenceReading, ImagesAreAssociatedByWholeComponents) {
  const std::vector<PreparationAttachedImage> elsewhere{{"/Users/Shared/a.dmg", {"/Volumes/A"}, {"/dev/disk4s1"}}};
  EXPECT_EQ(imageEvidence(elsewhere, kWorkspace), Evidence::clear());
  const Evidence blocked = Evidence::blocked(kImageAssociatedMessage);
  EXPECT_EQ(imageEvidence({{kWorkspace + "/Payload.dmg", {}, {}}}, kWorkspace), blocked);
  EXPECT_EQ(imageEvidence({{"/Users/Shared/a.dmg", {kWorkspace}, {}}}, kWorkspace), blocked);
  EXPECT_EQ(imageEvidence({{"/Users/Shared/a.dmg", {kWorkspace + "X/Mount"}, {}}}, kWorkspace), Evidence::clear());
  // The workspace may be named in another spelling.
  EXPECT_EQ(imageEvidence({{kWorkspace + "/Payload.dmg", {}, {}}}, "/System/Volumes/Data" + kWorkspace + "/"),
            blocked);
}

// A simulated Mac laid out in a temporary directory, with the simulated tools installed;
// the checks run through the real runner and launcher against it. This test process is
// the helper: its pid is the one the checks leave out.
class SimulatedToolEvidenceTest : public ::testing::Test {
 protected:
  SimulatedToolEvidenceTest() : mac_(dir_.path() + "/mac", {}) {
    sim::installSimulatedTools(mac_.platform().root, TIDEWARDEN_SIM_TOOL_PATH, {});
  }

  const platform::Platform& platform() { return mac_.platform(); }

  void change(const std::function<void(sim::WorldTools&)>& edit) {
    sim::World::update(mac_.directory(), [&](sim::WorldRecord& world) { edit(world.tools); });
  }

  void fault(sim::WorldTool tool, sim::WorldToolFaultKind kind, std::optional<std::int64_t> status = std::nullopt) {
    change([&](sim::WorldTools& tools) { tools.faults.push_back({tool, kind, status, std::nullopt}); });
    if (kind == sim::WorldToolFaultKind::missing) sim::removeSimulatedTool(mac_.platform().root, tool);
  }

  testing::TempDir dir_;
  sim::SimulatedMac mac_;
};

TEST_F(SimulatedToolEvidenceTest, OpenFilesAreMatchedByCanonicalPathAndTheHelpersOwnAreIgnored) {
  using Files = std::map<std::string, Evidence>;
  EXPECT_EQ(openFileEvidence(platform(), {kDownload}), (Files{{kDownload, Evidence::clear()}}));
  const auto self = static_cast<std::int64_t>(::getpid());
  change([&](sim::WorldTools& tools) {
    tools.openFiles.push_back({611, "7", "/System/Volumes/Data" + kDownload});
    tools.openFiles.push_back({self, "9", kWorkspace + "/operation.json"});
    tools.openFiles.push_back({611, "cwd", kWorkspace + "X"});
  });
  EXPECT_EQ(openFileEvidence(platform(), {kDownload}), (Files{{kDownload, Evidence::blocked(kOpenInstallerFileMessage)}}));
  EXPECT_EQ(openFileEvidence(platform(), {kOtherDownload}), (Files{{kOtherDownload, Evidence::clear()}}));
  // lsof exits 1 when one named file is not open, and still prints the other's records:
  // exit 1 with output is not "nothing open".
  const Evidence handles = unknown(kOpenHandlesUnknownMessage);
  EXPECT_EQ(openFileEvidence(platform(), {kDownload, kOtherDownload}),
            (Files{{kDownload, handles}, {kOtherDownload, handles}}));
  EXPECT_TRUE(openFileEvidence(platform(), {}).empty());
  EXPECT_EQ(preparationOpenFileEvidence(platform(), kWorkspace), Evidence::clear());
  change([&](sim::WorldTools& tools) {
    tools.openFiles.push_back({612, "txt", "/var/tmp/com.ambergrove.Tidewarden/InstallAssistant/5E0A/Expanded/x"});
  });
  EXPECT_EQ(preparationOpenFileEvidence(platform(), kWorkspace),
            Evidence::blocked("Another process (PID 612) still has preparation files open. Nothing was removed."));
}

TEST_F(SimulatedToolEvidenceTest, AToolWhoseOutputIsCutAtTheCaptureLimitOrThatIsMissingIsUnknown) {
  change([](sim::WorldTools& tools) { tools.processes.push_back({900, "/usr/sbin/pkgutil", {"--expand-full"}}); });
  EXPECT_EQ(preparationProcessEvidence(platform()), Evidence::blocked(kPreparationProcessRunningMessage));
  EXPECT_EQ(installationProcessEvidence(platform()), Evidence::clear());
  // The same list followed by 3 MiB of empty lines: cut at the cap, it says nothing.
  fault(sim::WorldTool::ps, sim::WorldToolFaultKind::flood);
  EXPECT_EQ(preparationProcessEvidence(platform()), unknown(kPreparationProcessUnknownMessage));
  EXPECT_FALSE(attachedImages(platform()).unknownReason);
  fault(sim::WorldTool::hdiutil, sim::WorldToolFaultKind::missing);
  EXPECT_EQ(attachedImages(platform()).unknownReason, kAttachedImagesFailedMessage);
}

}  // namespace
}  // namespace tidewarden::storage
