// Decoding of local-installer requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "installers/prepared_installer_delete_request.h"
#include "installers/prepared_installer_delete_response.h"
#include "installers/prepared_installer_image_release_request.h"
#include "installers/prepared_installer_image_release_response.h"
#include "installers/prepared_installer_scan_request.h"
#include "installers/prepared_installer_scan_response.h"

namespace tidewarden::installers {
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

TEST(ScanRequestDecoding, OnlyPathIsOptionalButMustBeAString) {
  EXPECT_EQ(PreparedInstallerScanRequest::decode("{}").onlyPath, std::nullopt);
  EXPECT_EQ(PreparedInstallerScanRequest::decode(R"({"onlyPath":null})").onlyPath, std::nullopt);
  EXPECT_EQ(PreparedInstallerScanRequest::decode(
                R"({"onlyPath":"/Applications/Install macOS Sequoia.app"})")
                .onlyPath,
            "/Applications/Install macOS Sequoia.app");
  EXPECT_EQ(decodeFailure<PreparedInstallerScanRequest>(R"({"onlyPath":7})"),
            kPrefix + "the value of \"onlyPath\" has the wrong type (expected a string).");
  EXPECT_EQ(decodeFailure<PreparedInstallerScanRequest>("[]"),
            kPrefix + "the document has the wrong type (expected an object).");
}

TEST(ReviewRequestDecoding, DeleteAndReleaseRequireTheReviewAndBothAcknowledgments) {
  const auto remove = PreparedInstallerDeleteRequest::decode(
      R"({"candidateID":"9A4E1F70-3C2B-4D8E-B615-0F7A2C9D3E41","permanentDeletionAcknowledged":true,)"
      R"("noInstallationInProgressAcknowledged":false})");
  EXPECT_EQ(remove.candidateID, "9A4E1F70-3C2B-4D8E-B615-0F7A2C9D3E41");
  EXPECT_TRUE(remove.permanentDeletionAcknowledged);
  EXPECT_FALSE(remove.noInstallationInProgressAcknowledged);
  EXPECT_EQ(decodeFailure<PreparedInstallerDeleteRequest>(
                R"({"candidateID":"A","noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the key \"permanentDeletionAcknowledged\" is missing.");
  EXPECT_EQ(decodeFailure<PreparedInstallerDeleteRequest>(
                R"({"candidateID":"A","permanentDeletionAcknowledged":"yes",)"
                R"("noInstallationInProgressAcknowledged":true})"),
            kPrefix +
                "the value of \"permanentDeletionAcknowledged\" has the wrong type (expected a "
                "boolean).");

  const auto release = PreparedInstallerImageReleaseRequest::decode(
      R"({"candidateID":"A","releaseAcknowledged":true,"noInstallationInProgressAcknowledged":true})");
  EXPECT_TRUE(release.releaseAcknowledged);
  EXPECT_EQ(decodeFailure<PreparedInstallerImageReleaseRequest>(
                R"({"releaseAcknowledged":true,"noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the key \"candidateID\" is missing.");
  EXPECT_EQ(decodeFailure<PreparedInstallerImageReleaseRequest>(
                R"({"candidateID":["A"],"releaseAcknowledged":true,)"
                R"("noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the value of \"candidateID\" has the wrong type (expected a string).");
}

TEST(ScanResponseCoding, ItemsRoundTripWithImagesAndUnmeasuredSizes) {
  const PreparedInstallerItem withImage{
      .id = "9A4E1F70-3C2B-4D8E-B615-0F7A2C9D3E41",
      .path = "/Applications/Install macOS Sequoia.app",
      .name = "Install macOS Sequoia",
      .allocatedBytes = 15032385536,
      .logicalBytes = 15000000000,
      .canDelete = false,
      .reason = "An image inside this local installer is still mounted.",
      .checkedAt = json::Date{786000000},
      .expiresAt = json::Date{786000300},
      .attachedImages = {PreparedInstallerImage{
          "/Applications/Install macOS Sequoia.app/Contents/SharedSupport/SharedSupport.dmg",
          "/dev/disk7",
          {"/Volumes/Shared Support"}}},
      .canReleaseImages = true,
  };
  const PreparedInstallerItem unmeasured{
      .id = "B",
      .path = "/Applications/Install macOS Sonoma.app",
      .name = "Install macOS Sonoma",
      .reason = "Cannot approve permanent deletion: Installer allocation could not be measured.",
      .checkedAt = json::Date{786000001},
      .expiresAt = json::Date{786000301},
  };
  const PreparedInstallerScanResponse response{
      json::Date{786000000}, {withImage, unmeasured}, {}, true};
  const nlohmann::json object = response.toJson();
  EXPECT_EQ(object.at("items").at(0).at("attachedImages").at(0).at("deviceIdentifier"),
            "/dev/disk7");
  EXPECT_EQ(keysOf(object.at("items").at(1)),
            (std::set<std::string>{"id", "path", "name", "canDelete", "reason", "checkedAt",
                                   "expiresAt", "attachedImages", "canReleaseImages"}));
  EXPECT_EQ(roundTrip(response), response);

  const PreparedInstallerScanResponse refused{
      json::Date{786000000}, {}, {"An installer operation is busy."}, false};
  EXPECT_EQ(keysOf(refused.toJson()),
            (std::set<std::string>{"checkedAt", "items", "warnings", "complete"}));
}

TEST(ReviewResponseCoding, FailureShapesOmitEveryAbsentField) {
  const PreparedInstallerDeleteResponse refusedDeletion{
      .deleted = false,
      .mutationStarted = false,
      .message = "No deletion was started. Installer deletion request is too large.",
  };
  EXPECT_EQ(keysOf(refusedDeletion.toJson()),
            (std::set<std::string>{"deleted", "mutationStarted", "message"}));
  const PreparedInstallerDeleteResponse deleted{"/Applications/Install macOS Sequoia.app",
                                                true,
                                                true,
                                                15032385536,
                                                0,
                                                20000000000,
                                                35032385536,
                                                "Deleted."};
  EXPECT_EQ(roundTrip(deleted), deleted);

  const PreparedInstallerImageReleaseResponse refusedRelease{
      .released = false,
      .detachedImageCount = 0,
      .message = "No image release was started. Installer-image release request is too large.",
  };
  EXPECT_EQ(keysOf(refusedRelease.toJson()),
            (std::set<std::string>{"released", "detachedImageCount", "message"}));
  const PreparedInstallerImageReleaseResponse released{"/Applications/Install macOS Sequoia.app",
                                                       true, 1, "Released."};
  EXPECT_EQ(roundTrip(released), released);
}

}  // namespace
}  // namespace tidewarden::installers
