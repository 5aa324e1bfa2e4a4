// Decoding of local-installer requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "installers/installers_messages.h"

namespace tidewarden::installers {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";
const std::string kSequoia = "/Applications/Install macOS Sequoia.app";

nlohmann::json parse(std::string_view text) { return nlohmann::json::parse(text); }

using testing::decodeFailure;

TEST(InstallerRequestDecoding, RequestsDecodeCompletelyAndRequireBothAcknowledgments) {
  EXPECT_EQ(json::decodeDocument<PreparedInstallerScanRequest>("{}").onlyPath, std::nullopt);
  const nlohmann::json scan{{"onlyPath", kSequoia}};
  EXPECT_EQ(json::encodeValue(json::decodeDocument<PreparedInstallerScanRequest>(scan.dump())), scan);

  const nlohmann::json remove = parse(R"({"candidateID":"9A4E1F70-3C2B-4D8E-B615-0F7A2C9D3E41",
      "permanentDeletionAcknowledged":true,"noInstallationInProgressAcknowledged":false})");
  const auto deletion = json::decodeDocument<PreparedInstallerDeleteRequest>(remove.dump());
  EXPECT_EQ(json::encodeValue(deletion), remove);
  EXPECT_TRUE(deletion.permanentDeletionAcknowledged);
  EXPECT_FALSE(deletion.noInstallationInProgressAcknowledged);
  EXPECT_EQ(decodeFailure<PreparedInstallerDeleteRequest>(
                R"({"candidateID":"A","noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the key \"permanentDeletionAcknowledged\" is missing.");

  const nlohmann::json release = parse(R"({"candidateID":"A","releaseAcknowledged":true,
      "noInstallationInProgressAcknowledged":false})");
  const auto releasing = json::decodeDocument<PreparedInstallerImageReleaseRequest>(release.dump());
  EXPECT_EQ(json::encodeValue(releasing), release);
  EXPECT_TRUE(releasing.releaseAcknowledged);
  EXPECT_FALSE(releasing.noInstallationInProgressAcknowledged);
  EXPECT_EQ(decodeFailure<PreparedInstallerImageReleaseRequest>(
                R"({"candidateID":["A"],"releaseAcknowledged":true,)"
                R"("noInstallationInProgressAcknowledged":true})"),
            kPrefix + "the value of \"candidateID\" has the wrong type (expected a string).");
}

TEST(InstallerResponseCoding, ItemsCarryImagesAndFailureShapesOmitEveryAbsentField) {
  const std::string image = kSequoia + "/Contents/SharedSupport/SharedSupport.dmg";
  const PreparedInstallerItem withImage{
      "9A4E", kSequoia, "Install macOS Sequoia", 15032385536, 15000000000, false,
      "An image inside this local installer is still mounted.", json::Date{786000000},
      json::Date{786000300},
      {PreparedInstallerImage{image, "/dev/disk7", {"/Volumes/Shared Support"}}}, true};
  nlohmann::json expected = parse(R"({"id": "9A4E", "name": "Install macOS Sequoia",
      "allocatedBytes": 15032385536, "logicalBytes": 15000000000, "canDelete": false,
      "reason": "An image inside this local installer is still mounted.", "checkedAt": 786000000,
      "expiresAt": 786000300, "canReleaseImages": true, "attachedImages": [
      {"deviceIdentifier": "/dev/disk7", "mountPoints": ["/Volumes/Shared Support"]}]})");
  expected["path"] = kSequoia;
  expected["attachedImages"][0]["imagePath"] = image;
  // Without a measurement the sizes are omitted, not reported as zero.
  const PreparedInstallerItem unmeasured{.id = "B", .reason = "Not measured."};
  const PreparedInstallerScanResponse scan{json::Date{786000000}, {withImage, unmeasured}, {},
                                           true};
  EXPECT_EQ(json::encodeValue(scan).at("items"), nlohmann::json::array({expected, parse(R"({"id": "B",
      "path": "", "name": "", "canDelete": false, "reason": "Not measured.", "checkedAt": 0,
      "expiresAt": 0, "attachedImages": [], "canReleaseImages": false})")}));

  const PreparedInstallerScanResponse refusedScan{
      json::Date{786000000}, {}, {"An installer operation is busy."}, false};
  EXPECT_EQ(json::encodeValue(refusedScan), parse(R"({"checkedAt": 786000000, "items": [],
      "warnings": ["An installer operation is busy."], "complete": false})"));

  const PreparedInstallerDeleteResponse refusedDeletion{
      .message = "No deletion was started. Installer deletion request is too large."};
  EXPECT_EQ(json::encodeValue(refusedDeletion), parse(R"({"deleted": false, "mutationStarted": false,
      "message": "No deletion was started. Installer deletion request is too large."})"));
  const PreparedInstallerDeleteResponse deleted{kSequoia, true, true, 15032385536, 0,
                                                20000000000, 35032385536, "Deleted."};
  expected = parse(R"({"deleted": true, "mutationStarted": true,
      "allocatedBytesBefore": 15032385536, "allocatedBytesRemaining": 0,
      "freeSpaceBefore": 20000000000, "freeSpaceAfter": 35032385536, "message": "Deleted."})");
  expected["path"] = kSequoia;
  EXPECT_EQ(json::encodeValue(deleted), expected);

  const PreparedInstallerImageReleaseResponse refusedRelease{
      .message = "No image release was started. Installer-image release request is too large."};
  EXPECT_EQ(json::encodeValue(refusedRelease), parse(R"({"released": false, "detachedImageCount": 0,
      "message": "No image release was started. Installer-image release request is too large."})"));
  EXPECT_EQ(json::encodeValue(PreparedInstallerImageReleaseResponse({kSequoia, true, 1, "Released."})),
            (nlohmann::json{{"path", kSequoia}, {"released", true}, {"detachedImageCount", 1},
                            {"message", "Released."}}));
}

}  // namespace
}  // namespace tidewarden::installers
