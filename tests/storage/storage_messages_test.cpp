// Decoding of download-cleanup and preflight requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "storage/installer_preparation_preflight_request.h"
#include "storage/installer_preparation_preflight_response.h"
#include "storage/installer_preparation_safety_response.h"
#include "storage/installer_safety_error.h"
#include "storage/interrupted_installer_removal_request.h"
#include "storage/interrupted_installer_removal_response.h"
#include "storage/interrupted_installer_scan_response.h"

namespace tidewarden::storage {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

template <class T>
std::string decodeFailure(const std::string& document) {
  try {
    T::decode(document);
  } catch (const json::DecodeError& error) {
    return error.what();
  }
  ADD_FAILURE() << "decoded: " << document;
  return {};
}

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

template <class T>
T roundTrip(const T& value) {
  const std::optional<std::string> text = json::encode(value.toJson());
  EXPECT_TRUE(text);
  return T::decode(text.value_or("{}"));
}

TEST(PreflightRequestDecoding, DecodesAndRequiresBothKeys) {
  const auto request = InstallerPreparationPreflightRequest::decode(
      R"({"packageBytes":13421772800,"packageAlreadyDownloaded":false})");
  EXPECT_EQ(request.packageBytes, 13421772800);
  EXPECT_FALSE(request.packageAlreadyDownloaded);
  // The size range is the preflight's to judge, not the decoder's.
  EXPECT_EQ(InstallerPreparationPreflightRequest::decode(
                R"({"packageBytes":-1,"packageAlreadyDownloaded":true})")
                .packageBytes,
            -1);

  EXPECT_EQ(decodeFailure<InstallerPreparationPreflightRequest>(R"({"packageBytes":13421772800})"),
            kPrefix + "the key \"packageAlreadyDownloaded\" is missing.");
  EXPECT_EQ(decodeFailure<InstallerPreparationPreflightRequest>(
                R"({"packageBytes":"13 GB","packageAlreadyDownloaded":false})"),
            kPrefix + "the value of \"packageBytes\" has the wrong type (expected an integer).");
  // An exponent form of an exact integer is still an integer.
  EXPECT_EQ(InstallerPreparationPreflightRequest::decode(
                R"({"packageBytes":1.34e10,"packageAlreadyDownloaded":false})")
                .packageBytes,
            13400000000);
}

TEST(RemovalRequestDecoding, DecodesIdsAndRefusesMalformedOnes) {
  const auto request = InterruptedInstallerRemovalRequest::decode(
      R"({"candidateIDs":["0F3C2A9E-1B7D-4E55-A2C4-9D81B6E07F13","C1D2"],)"
      R"("noInstallationInProgressAcknowledged":true})");
  EXPECT_EQ(request.candidateIDs,
            (std::vector<std::string>{"0F3C2A9E-1B7D-4E55-A2C4-9D81B6E07F13", "C1D2"}));
  EXPECT_TRUE(request.noInstallationInProgressAcknowledged);
  // The 1-to-50 rule belongs to the engine.
  EXPECT_TRUE(InterruptedInstallerRemovalRequest::decode(
                  R"({"candidateIDs":[],"noInstallationInProgressAcknowledged":false})")
                  .candidateIDs.empty());

  EXPECT_EQ(decodeFailure<InterruptedInstallerRemovalRequest>(
                R"({"noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the key \"candidateIDs\" is missing.");
  EXPECT_EQ(decodeFailure<InterruptedInstallerRemovalRequest>(
                R"({"candidateIDs":["A",3],"noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the value of \"candidateIDs[1]\" has the wrong type (expected a string).");
  EXPECT_EQ(decodeFailure<InterruptedInstallerRemovalRequest>(
                R"({"candidateIDs":"A","noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the value of \"candidateIDs\" has the wrong type (expected an array).");
}

InterruptedInstallerDownload download(std::string id, InstallerDownloadSource source,
                                      InstallerDownloadActivity activity) {
  return InterruptedInstallerDownload{
      .id = std::move(id),
      .path = "/Users/Shared/Tidewarden/Downloads/Sequoia/InstallAssistant.pkg.partial",
      .source = source,
      .allocatedBytes = 7516192768,
      .logicalBytes = 7516192000,
      .modifiedAt = json::Date::fromUnixSeconds(1767000000),
      .activity = activity,
      .explanation = "No open file handles were found.",
  };
}

TEST(ScanResponseCoding, ItemsKeepSourceActivityAndOptionalMeasurement) {
  InterruptedInstallerDownload workspace = download(
      "B3", InstallerDownloadSource::tidewardenPreparation, InstallerDownloadActivity::unverified);
  workspace.measurementComplete = false;
  const InterruptedInstallerScanResponse response{
      .checkedAt = json::Date{786000000.5},
      .items = {download("A1", InstallerDownloadSource::appleSoftwareUpdate,
                         InstallerDownloadActivity::inactive),
                workspace},
      .protectedLocationsChecked = false,
      .warnings =
          {"Installer-download discovery reached a safety limit; these results are partial."},
  };
  const nlohmann::json object = response.toJson();
  EXPECT_EQ(object.at("items").at(0).at("source"), "appleSoftwareUpdate");
  EXPECT_EQ(object.at("items").at(0).at("activity"), "inactive");
  EXPECT_EQ(object.at("items").at(0).at("allocatedBytes"), 7516192768);
  EXPECT_FALSE(object.at("items").at(0).contains("measurementComplete"));
  EXPECT_EQ(object.at("items").at(1).at("source"), "tidewardenPreparation");
  EXPECT_EQ(object.at("items").at(1).at("measurementComplete"), false);
  EXPECT_EQ(object.at("items").at(1).at("modifiedAt"), 1767000000.0 - 978307200.0);
  EXPECT_EQ(roundTrip(response), response);

  nlohmann::json unknownActivity = object;
  unknownActivity["items"][1]["activity"] = "paused";
  EXPECT_EQ(decodeFailure<InterruptedInstallerScanResponse>(unknownActivity.dump()),
            kPrefix + "\"items[1].activity\" has an unknown value \"paused\".");
}

TEST(RemovalResponseCoding, TheEarlyFailureShapeOmitsEveryAbsentField) {
  const InterruptedInstallerRemovalResponse refused{
      .removedAllocatedBytes = 0,
      .issues = {"Installer-cleanup request is too large."},
  };
  EXPECT_EQ(keysOf(refused.toJson()),
            (std::set<std::string>{"removedIDs", "removedAllocatedBytes", "issues"}));
  EXPECT_EQ(refused.toJson().at("removedIDs"), nlohmann::json::array());

  const InterruptedInstallerRemovalResponse done{
      .removedIDs = {"A1"},
      .removedAllocatedBytes = 7516192768,
      .freeSpaceBefore = 10000000000,
      .freeSpaceAfter = 17516192768,
      .issues = {},
      .remainingPreparationItems = std::vector<InterruptedInstallerDownload>{download(
          "B3", InstallerDownloadSource::tidewardenPreparation, InstallerDownloadActivity::active)},
  };
  EXPECT_EQ(roundTrip(done), done);
  EXPECT_EQ(roundTrip(refused), refused);
}

TEST(PreflightAndSafetyCoding, RepliesKeepTheirExactShapes) {
  const InstallerPreparationPreflightResponse refused{
      .allowed = false,
      .message = "Preparation preflight request is too large.",
      .estimatedAdditionalBytes = 0,
  };
  EXPECT_EQ(keysOf(refused.toJson()),
            (std::set<std::string>{"allowed", "message", "estimatedAdditionalBytes"}));
  const InstallerPreparationPreflightResponse measured{true, "Working-space budget: …", 60000000000,
                                                       48855252992};
  EXPECT_EQ(roundTrip(measured), measured);

  const InstallerPreparationSafetyResponse fixed{
      .passed = false,
      .message =
          "The development safety test has been removed. No test files were created. Use "
          "Download for the normal installer flow.",
  };
  EXPECT_EQ(keysOf(fixed.toJson()), (std::set<std::string>{"passed", "message"}));

  const InstallerPreparationSafetyResponse withCleanup{
      false, "x",
      InstallerPreparationCleanupReport{
          .verified = false,
          .workspacePath =
              "/private/var/tmp/com.ambergrove.Tidewarden/InstallAssistant/5E0A2C6B-1D7F-4A38-9C21-"
              "7B3E4F5A6D80",
          .remainingAllocatedBytes = 4096,
          .issues = {"Preparation directory is not empty after removal."}}};
  const nlohmann::json cleanup = withCleanup.toJson().at("cleanup");
  EXPECT_EQ(keysOf(cleanup), (std::set<std::string>{"verified", "workspacePath",
                                                    "remainingAllocatedBytes", "issues"}));
  EXPECT_EQ(roundTrip(withCleanup), withCleanup);
}

TEST(InstallerSafetyErrorTest, WhatIsExactlyTheCarriedSentence) {
  try {
    throw InstallerSafetyError::refused("Installer-cleanup request is too large.");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Installer-cleanup request is too large.");
  }
}

}  // namespace
}  // namespace tidewarden::storage
