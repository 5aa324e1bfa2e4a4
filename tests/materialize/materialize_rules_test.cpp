// The materialization rules that the socket tests cannot reach: the copy's reserve and
// identity checks, and the limits of the payload metadata reader.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "materialize/macos_identity_patterns.h"
#include "materialize/payload_metadata.h"
#include "materialize/private_package_snapshot.h"
#include "materialize/tool_failure_text.h"
#include "platform/file_io.h"
#include "storage/installer_file_identity.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_storage_gate.h"
#include "support/test_platform.h"

namespace tidewarden::materialize {
namespace {

namespace fs = std::filesystem;

template <class Action>
std::string refusal(Action&& action) {
  try {
    action();
    return "";
  } catch (const std::exception& error) {
    return error.what();
  }
}

// The copy stops once free space is at the 2 GiB reserve when it first looks (after
// more than 64 MiB), refuses a source that changed, and never overwrites a snapshot.
TEST(PrivatePackageSnapshotTest, ReserveAndSourceChangesStopTheCopy) {
  constexpr std::int64_t kSize = 70 * 1024 * 1024;
  struct Case {
    std::int64_t free;
    bool truncateSource;  // the source shrinks after its identity was taken
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{2147483648, false, kSnapshotReserveMessage},
                                         {2147483649, true, kSnapshotChangedMessage},
                                         {2147483649, false, ""}}) {
    SCOPED_TRACE(c.free);
    testing::TestPlatform test;
    fs::create_directories(test.rootPath() + "/private/var/tmp");
    test.freeSpace.bytes = c.free;
    const std::string source = test.rootPath() + "/package";
    const platform::UniqueFd fd(::open(source.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::ftruncate(fd.get(), kSize), 0);
    const storage::InstallerFileIdentity identity = storage::fileIdentity(*platform::fileFacts(fd.get()));
    if (c.truncateSource) {
      ASSERT_EQ(::ftruncate(fd.get(), kSize - 1), 0);
    }
    storage::PreparationStorageGate gate = storage::PreparationStorageGate::open(test.platform());
    storage::PreparationWorkspace workspace = gate.createWorkspace("15.1", "24B83", "installer");
    EXPECT_EQ(refusal([&] { makePrivatePackageSnapshot(test.platform(), fd.get(), identity, workspace); }),
              c.expected);
    EXPECT_EQ(test.freeSpace.paths.size(), 1u);  // one look, after the first 64 MiB
    if (c.expected.empty()) {
      EXPECT_EQ(fs::file_size(test.rootPath() + workspace.path() + "/InstallAssistant.pkg"), std::uintmax_t(kSize));
      EXPECT_TRUE(refusal([&] { makePrivatePackageSnapshot(test.platform(), fd.get(), identity, workspace); })
                      .starts_with("Cannot create the private package snapshot: File exists"));
    }
  }
}

// The runner's note is never cut off by a long error output; a signal and cut-off
// output are named as such.
TEST(ToolFailureTextTest, StopReasonsSurviveAndEndingsAreNamed) {
  const platform::ToolCommand expand{"/usr/sbin/pkgutil", {"--expand-full"}, 1800.0};
  const std::string head = "/usr/sbin/pkgutil --expand-full did not finish successfully (";
  const std::string warnings(4096, 'w');
  const std::string reserve = storage::kScopedReserveNote;
  const std::vector<std::pair<storage::ScopedCommandResult, std::string>> cases{
      {{256 + 15, "", warnings + reserve, false, reserve},
       head + "ended by SIGTERM, signal 15). " + reserve.substr(1) + " " + warnings.substr(0, 400) + "\u2026"},
      {{256 + 9, "", "", false}, head + "ended by SIGKILL, signal 9)."},
      {{0, "", "", false}, head + "exit 0, output incomplete)."},
      {{3, "", "bad\n", true}, head + "exit 3). bad"},
  };
  for (const auto& [result, expected] : cases) EXPECT_EQ(toolFailureText(expand, result), expected);
}

std::string metadataOf(int assets, const std::string& version = "15.1") {
  std::string text = "<plist version=\"1.0\"><dict><key>Assets</key><array>";
  for (int i = 0; i < assets; ++i) {
    text += "<dict><key>OSVersion</key><string>" + version + "</string><key>Build</key><string>24B83</string></dict>";
  }
  return text + "</array></dict></plist>";
}

TEST(PayloadMetadataTest, LimitsOfTheAssetList) {
  const std::string tooLarge = metadataOf(1) + std::string(kPayloadMetadataLimitBytes + 1 - metadataOf(1).size(), ' ');
  const std::string invalid = "An OS asset is missing a valid OSVersion or Build. The installer app version is not a "
                              "substitute.";
  const std::vector<std::pair<std::string, std::string>> cases{
      {metadataOf(256), ""},
      {metadataOf(257), "The macOS payload does not contain a supported Assets list."},
      {tooLarge, "The macOS payload metadata is empty or exceeds the size limit."},
      {metadataOf(1, "15"), invalid},
      {metadataOf(1, "15.1\n"), invalid},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(refusal([&] { EXPECT_EQ(parsePayloadMetadata(bytes), (InstallerPayloadIdentity{"15.1", "24B83"})); }),
              expected)
        << bytes.size();
  }
}

// Two to four numeric parts for a version, 24B83 or 24B83a for a build: whole strings only.
TEST(MacOSIdentityPatternsTest, VersionsAndBuildsMatchOnlyTheirWholeShape) {
  const std::vector<std::tuple<std::string, bool, bool>> cases{
      {"15.1", true, false},   {"15.1.2.3", true, false}, {"15", false, false},     {"15.1.2.3.4", false, false},
      {"15.1\n", false, false}, {"24B83", false, true},    {"24B83a", false, true},  {"24b83", false, false},
      {"24B83\n", false, false}, {"24B83ab", false, false}, {std::string(33, '1'), false, false}};
  for (const auto& [text, version, build] : cases) {
    EXPECT_EQ(isMacOSVersion(text), version) << text;
    EXPECT_EQ(isMacOSBuild(text), build) << text;
  }
}

}  // namespace
}  // namespace tidewarden::materialize
