// Decoding of Rescue Drive requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

// A partition row as the application sends it back after the user reviewed it.
const nlohmann::json kStartRequest = nlohmann::json::parse(R"({
  "installerPath": "/Applications/Install macOS Sequoia.app",
  "confirmedScope": "partition",
  "destinationProtocol": "rescue-destination-scope-v3",
  "destination": {
    "scope": "partition", "diskIdentifier": "disk4s2", "mediaName": "SanDisk Extreme",
    "size": 63999836160, "filesystem": "hfs+", "mountPoint": "/Volumes/Untitled",
    "parent": {"identifier": "disk4", "capacity": 64023257088, "mediaName": "SanDisk Extreme",
               "registryPath": "IODeviceTree:/PCI0@0/XHC1@14/SanDisk@1", "bus": "USB"},
    "partitionMap": "GUID_partition_scheme",
    "layout": [
      {"identifier": "disk4s1", "partitionUUID": "1A2B", "offset": 20480, "size": 209715200,
       "content": "EFI", "volumeUUID": "", "name": "EFI"},
      {"identifier": "disk4s2", "partitionUUID": "3C4D", "offset": 210763776, "size": 63999836160,
       "content": "Apple_HFS", "volumeUUID": "5E6F", "name": "Untitled"}
    ],
    "checkedAt": 786000000.5
  }
})");

std::string startFailure(const nlohmann::json& document) {
  return testing::decodeFailure<RescueDriveStartRequest>(document.dump());
}

TEST(StartRequestDecoding, TheReviewedRowDecodesCompletelyAndReEncodesUnchanged) {
  const RescueDriveStartRequest request = json::decodeDocument<RescueDriveStartRequest>(kStartRequest.dump());
  EXPECT_EQ(request.confirmedScope, RescueDestinationScope::partition);
  EXPECT_EQ(request.destination.size, 63999836160);
  ASSERT_EQ(request.destination.layout.size(), 2u);
  EXPECT_EQ(request.destination.layout[1].offset, 210763776);
  // Re-encoding reproduces every reviewed key, which revalidation relies on.
  EXPECT_EQ(json::encodeValue(request), kStartRequest);

  EXPECT_EQ(json::decodeDocument<RescueDriveOperationRequest>(R"({"operationID":"7C1E"})").operationID, "7C1E");
}

TEST(StartRequestDecoding, ProblemsInsideTheDestinationNameTheirPath) {
  nlohmann::json document = kStartRequest;
  document["destination"]["parent"].erase("bus");
  EXPECT_EQ(startFailure(document), kPrefix + "the key \"destination.parent.bus\" is missing.");

  document = kStartRequest;
  document["destination"]["layout"][1]["offset"] = "210763776";
  EXPECT_EQ(startFailure(document),
            kPrefix +
                "the value of \"destination.layout[1].offset\" has the wrong type (expected an "
                "integer).");

  // A protocol mismatch is refused by the service with its own sentence, not by decoding.
  document = kStartRequest;
  document["destinationProtocol"] = "rescue-destination-scope-v2";
  EXPECT_EQ(json::decodeDocument<RescueDriveStartRequest>(document.dump()).destinationProtocol,
            "rescue-destination-scope-v2");
}

TEST(RescueResponseCoding, FailureShapesCarryOnlyTheirKeysAndLiveRepliesCarryProgress) {
  const RescueDriveStatusResponse invalid{
      "", RescueDrivePhase::failed, 0, "Invalid Rescue Drive status request.", true, false,
      "The request could not be read: it is not valid JSON."};
  EXPECT_EQ(json::encodeValue(invalid), nlohmann::json::parse(R"({"operationID": "", "phase": "failed",
      "progressPercent": 0, "message": "Invalid Rescue Drive status request.", "finished": true,
      "success": false, "errorMessage": "The request could not be read: it is not valid JSON."})"));

  const RescueDriveStatusResponse running{
      "7C1E", RescueDrivePhase::creatingInstaller, 42, "Copy progress is for this step only.",
      false, false, std::nullopt,
      RescueCreationProgress{"copyingInstaller", 37.5, json::Date{786000000},
                             json::Date{786000300}, json::Date{786000420},
                             "Copying to disk: 40%...", json::Date{786000421}, true}};
  EXPECT_EQ(json::encodeValue(running), nlohmann::json::parse(R"({"operationID": "7C1E",
      "phase": "creatingInstaller", "progressPercent": 42, "finished": false, "success": false,
      "message": "Copy progress is for this step only.",
      "liveProgress": {"step": "copyingInstaller", "stepPercent": 37.5, "startedAt": 786000000,
      "stepStartedAt": 786000300, "lastOutputAt": 786000420, "sampledAt": 786000421,
      "lastOutput": "Copying to disk: 40%...", "commandRunning": true}})"));

  const RescueDriveStartResponse refused{
      .accepted = false,
      .message = "Destination-scope approval is missing or incompatible. No erase was started."};
  EXPECT_EQ(json::encode(json::encodeValue(refused)),
            R"({"accepted":false,"message":"Destination-scope approval is missing or )"
            R"(incompatible. No erase was started."})");
  EXPECT_EQ(json::encodeValue(RescueDriveStartResponse({true, "7C1E", "Started."})),
            (nlohmann::json{{"accepted", true}, {"operationID", "7C1E"}, {"message", "Started."}}));
}

}  // namespace
}  // namespace tidewarden::rescue
