// Decoding of download-cleanup and preflight requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "storage/storage_messages.h"

namespace tidewarden::storage {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";
const std::string kWorkspace = "/private/var/tmp/com.ambergrove.Tidewarden/InstallAssistant/5E0A";

nlohmann::json parse(std::string_view text) { return nlohmann::json::parse(text); }

std::string preflightFailure(const std::string& document) {
  return testing::decodeFailure<InstallerPreparationPreflightRequest>(document);
}

TEST(StorageRequestDecoding, RequestsDecodeCompletelyAndLeaveRangesToTheEngines) {
  const nlohmann::json preflight =
      parse(R"({"packageBytes":13421772800,"packageAlreadyDownloaded":false})");
  EXPECT_EQ(json::encodeValue(json::decodeDocument<InstallerPreparationPreflightRequest>(preflight.dump())), preflight);
  // The size range is the preflight's to judge, not the decoder's.
  EXPECT_EQ(json::decodeDocument<InstallerPreparationPreflightRequest>(
                R"({"packageBytes":-1,"packageAlreadyDownloaded":true})")
                .packageBytes,
            -1);
  EXPECT_EQ(preflightFailure(R"({"packageBytes":13421772800})"),
            kPrefix + "the key \"packageAlreadyDownloaded\" is missing.");
  EXPECT_EQ(preflightFailure(R"({"packageBytes":"13 GB","packageAlreadyDownloaded":false})"),
            kPrefix + "the value of \"packageBytes\" has the wrong type (expected an integer).");

  const nlohmann::json removal = parse(R"({"noInstallationInProgressAcknowledged":true,
      "candidateIDs":["0F3C2A9E-1B7D-4E55-A2C4-9D81B6E07F13","C1D2"]})");
  EXPECT_EQ(json::encodeValue(json::decodeDocument<InterruptedInstallerRemovalRequest>(removal.dump())), removal);
  // The 1-to-50 rule belongs to the engine.
  const auto empty = json::decodeDocument<InterruptedInstallerRemovalRequest>(
      R"({"candidateIDs":[],"noInstallationInProgressAcknowledged":false})");
  EXPECT_TRUE(empty.candidateIDs.empty());
  EXPECT_FALSE(empty.noInstallationInProgressAcknowledged);
}

InterruptedInstallerDownload workspaceItem() {
  return {"B3", kWorkspace, InstallerDownloadSource::tidewardenPreparation, 7516192768, 7516192000,
          json::Date::fromUnixSeconds(1767000000), InstallerDownloadActivity::unverified,
          "No open file handles were found.", false};
}

nlohmann::json workspaceItemJson() {
  nlohmann::json item = parse(R"({"id": "B3", "source": "tidewardenPreparation",
      "allocatedBytes": 7516192768, "logicalBytes": 7516192000, "modifiedAt": 788692800,
      "activity": "unverified", "explanation": "No open file handles were found.",
      "measurementComplete": false})");
  item["path"] = kWorkspace;
  return item;
}

TEST(StorageResponseCoding, ScanItemsCarryEveryFieldAndMeasurementOnlyForWorkspaces) {
  const std::string partial =
      "Installer-download discovery reached a safety limit; these results are partial.";
  const InterruptedInstallerScanResponse response{json::Date{786000000.5}, {workspaceItem()}, false,
                                                  {partial}};
  EXPECT_EQ(json::encodeValue(response),
            (nlohmann::json{{"checkedAt", 786000000.5}, {"items", {workspaceItemJson()}},
                            {"protectedLocationsChecked", false}, {"warnings", {partial}}}));

  InterruptedInstallerDownload cache = workspaceItem();
  cache.source = InstallerDownloadSource::appleSoftwareUpdate;
  cache.measurementComplete.reset();
  EXPECT_FALSE(json::encodeValue(cache).contains("measurementComplete"));
}

TEST(StorageResponseCoding, FailureShapesOmitEveryAbsentFieldAndFullRepliesCarryThem) {
  const InterruptedInstallerRemovalResponse refusedRemoval{
      .removedAllocatedBytes = 0, .issues = {"Installer-cleanup request is too large."}};
  EXPECT_EQ(json::encodeValue(refusedRemoval), parse(R"({"removedIDs": [], "removedAllocatedBytes": 0,
      "issues": ["Installer-cleanup request is too large."]})"));
  const InterruptedInstallerRemovalResponse removed{
      {"A1"}, 7516192768, 10000000000, 17516192768, {}, std::vector{workspaceItem()}};
  nlohmann::json expected = parse(R"({"removedIDs": ["A1"], "removedAllocatedBytes": 7516192768,
      "freeSpaceBefore": 10000000000, "freeSpaceAfter": 17516192768, "issues": []})");
  expected["remainingPreparationItems"] = {workspaceItemJson()};
  EXPECT_EQ(json::encodeValue(removed), expected);

  const InstallerPreparationPreflightResponse refusedPreflight{
      .allowed = false, .message = "Preparation preflight request is too large."};
  EXPECT_EQ(json::encodeValue(refusedPreflight), parse(R"({"allowed": false, "estimatedAdditionalBytes": 0,
      "message": "Preparation preflight request is too large."})"));
  const InstallerPreparationPreflightResponse measured{true, "Budget.", 60000000000, 48855252992};
  EXPECT_EQ(json::encodeValue(measured), parse(R"({"allowed": true, "message": "Budget.",
      "availableBytes": 60000000000, "estimatedAdditionalBytes": 48855252992})"));

  const std::string removedTest =
      "The development safety test has been removed. No test files were created. Use Download for "
      "the normal installer flow.";
  EXPECT_EQ(json::encodeValue(InstallerPreparationSafetyResponse({.passed = false, .message = removedTest})),
            (nlohmann::json{{"passed", false}, {"message", removedTest}}));
  const InstallerPreparationSafetyResponse withCleanup{
      false, "x",
      InstallerPreparationCleanupReport{.verified = false,
                                        .workspacePath = kWorkspace,
                                        .remainingAllocatedBytes = 4096,
                                        .issues = {"Preparation directory is not empty."}}};
  EXPECT_EQ(json::encodeValue(withCleanup).at("cleanup"),
            (nlohmann::json{{"verified", false}, {"workspacePath", kWorkspace},
                            {"remainingAllocatedBytes", 4096},
                            {"issues", {"Preparation directory is not empty."}}}));
}

}  // namespace
}  // namespace tidewarden::storage
