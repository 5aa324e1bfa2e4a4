// Decoding of Rescue Drive requests and the wire shape of their replies.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_drive_operation_request.h"
#include "rescue/rescue_drive_start_request.h"
#include "rescue/rescue_drive_start_response.h"
#include "rescue/rescue_drive_status_response.h"

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
    "scope": "partition",
    "diskIdentifier": "disk4s2",
    "mediaName": "SanDisk Extreme",
    "size": 63999836160,
    "filesystem": "hfs+",
    "mountPoint": "/Volumes/Untitled",
    "parent": {
      "identifier": "disk4",
      "capacity": 64023257088,
      "mediaName": "SanDisk Extreme",
      "registryPath": "IODeviceTree:/PCI0@0/XHC1@14/SanDisk@1",
      "bus": "USB"
    },
    "partitionMap": "GUID_partition_scheme",
    "layout": [
      {"identifier": "disk4s1", "partitionUUID": "1A2B", "offset": 20480, "size": 209715200,
       "content": "EFI", "volumeUUID": "", "name": "EFI"},
      {"identifier": "disk4s2", "partitionUUID": "3C4D", "offset": 210763776, "size": 63999836160,
       "content": "Apple_HFS", "volumeUUID": "5E6F", "name": "Untitled"}
    ],
    "checkedAt": 786000000.5,
    "rowHint": "ignored"
  }
})");

std::string startFailure(const nlohmann::json& document) {
  try {
    RescueDriveStartRequest::decode(document.dump());
  } catch (const json::DecodeError& error) {
    return error.what();
  }
  ADD_FAILURE() << "decoded: " << document.dump();
  return {};
}

TEST(StartRequestDecoding, TheReviewedRowDecodesCompletely) {
  const RescueDriveStartRequest request = RescueDriveStartRequest::decode(kStartRequest.dump());
  EXPECT_EQ(request.installerPath, "/Applications/Install macOS Sequoia.app");
  EXPECT_EQ(request.confirmedScope, RescueDestinationScope::partition);
  EXPECT_EQ(request.destinationProtocol, "rescue-destination-scope-v3");
  const RescueDestination& destination = request.destination;
  EXPECT_EQ(destination.scope, RescueDestinationScope::partition);
  EXPECT_EQ(destination.size, 63999836160);
  EXPECT_EQ(destination.mountPoint, "/Volumes/Untitled");
  EXPECT_EQ(destination.unavailableReason, std::nullopt);
  EXPECT_EQ(destination.parent.registryPath, "IODeviceTree:/PCI0@0/XHC1@14/SanDisk@1");
  ASSERT_EQ(destination.layout.size(), 2u);
  EXPECT_EQ(destination.layout[1].offset, 210763776);
  EXPECT_EQ(destination.layout[0].volumeUUID, "");
  EXPECT_EQ(destination.checkedAt, json::Date{786000000.5});
  // Re-encoding the decoded row reproduces it, which revalidation relies on.
  EXPECT_EQ(RescueDriveStartRequest::decode(*json::encode(request.toJson())), request);
}

TEST(StartRequestDecoding, ProblemsInsideTheDestinationNameTheirPath) {
  nlohmann::json document = kStartRequest;
  document["destination"]["scope"] = "everything";
  EXPECT_EQ(startFailure(document),
            kPrefix + "\"destination.scope\" has an unknown value \"everything\".");

  document = kStartRequest;
  document["destination"]["parent"].erase("bus");
  EXPECT_EQ(startFailure(document), kPrefix + "the key \"destination.parent.bus\" is missing.");

  document = kStartRequest;
  document["destination"]["layout"][1]["offset"] = "210763776";
  EXPECT_EQ(startFailure(document),
            kPrefix +
                "the value of \"destination.layout[1].offset\" has the wrong type (expected an "
                "integer).");

  document = kStartRequest;
  document.erase("confirmedScope");
  EXPECT_EQ(startFailure(document), kPrefix + "the key \"confirmedScope\" is missing.");

  // A protocol mismatch is refused by the service with its own sentence, not by decoding.
  document = kStartRequest;
  document["destinationProtocol"] = "rescue-destination-scope-v2";
  EXPECT_EQ(RescueDriveStartRequest::decode(document.dump()).destinationProtocol,
            "rescue-destination-scope-v2");
}

TEST(OperationRequestDecoding, TheOperationIdIsRequired) {
  EXPECT_EQ(RescueDriveOperationRequest::decode(R"({"operationID":"7C1E"})").operationID, "7C1E");
  for (const char* document : {"{}", R"({"operationID":null})"}) {
    try {
      RescueDriveOperationRequest::decode(document);
      ADD_FAILURE() << document;
    } catch (const json::DecodeError& error) {
      EXPECT_STREQ(error.what(), (kPrefix + "the key \"operationID\" is missing.").c_str());
    }
  }
}

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

TEST(StatusResponseCoding, TheFailureShapeAndALiveReplyRoundTrip) {
  const RescueDriveStatusResponse invalid{
      .operationID = "",
      .phase = RescueDrivePhase::failed,
      .progressPercent = 0,
      .message = "Invalid Rescue Drive status request.",
      .finished = true,
      .success = false,
      .errorMessage = "The request could not be read: it is not valid JSON.",
  };
  const nlohmann::json object = invalid.toJson();
  EXPECT_EQ(object.at("phase"), "failed");
  EXPECT_EQ(keysOf(object),
            (std::set<std::string>{"operationID", "phase", "progressPercent", "message", "finished",
                                   "success", "errorMessage"}));

  const RescueDriveStatusResponse running{
      .operationID = "7C1E",
      .phase = RescueDrivePhase::creatingInstaller,
      .progressPercent = 42,
      .message = "Copy progress is for this step only.",
      .finished = false,
      .success = false,
      .liveProgress = RescueCreationProgress{.step = "copyingInstaller",
                                             .stepPercent = 37.5,
                                             .startedAt = json::Date{786000000},
                                             .stepStartedAt = json::Date{786000300},
                                             .lastOutputAt = json::Date{786000420},
                                             .lastOutput = "Copying to disk: 40%...",
                                             .sampledAt = json::Date{786000421},
                                             .commandRunning = true},
  };
  const nlohmann::json live = running.toJson();
  EXPECT_EQ(live.at("phase"), "creatingInstaller");
  EXPECT_FALSE(live.contains("errorMessage"));
  EXPECT_EQ(live.at("liveProgress").at("stepPercent"), 37.5);
  EXPECT_EQ(RescueDriveStatusResponse::decode(*json::encode(live)), running);

  nlohmann::json unknownPhase = live;
  unknownPhase["phase"] = "paused";
  try {
    RescueDriveStatusResponse::decode(unknownPhase.dump());
    ADD_FAILURE() << "decoded an unknown phase";
  } catch (const json::DecodeError& error) {
    EXPECT_STREQ(error.what(), (kPrefix + "\"phase\" has an unknown value \"paused\".").c_str());
  }
}

TEST(StartResponseCoding, ARefusalCarriesNoOperationId) {
  try {
    throw RescueDestinationError::refused(
        "Destination-scope approval is missing or incompatible. No erase was started.");
  } catch (const std::runtime_error& error) {
    const RescueDriveStartResponse refused{.accepted = false, .message = error.what()};
    EXPECT_EQ(json::encode(refused.toJson()),
              R"({"accepted":false,"message":"Destination-scope approval is missing or )"
              R"(incompatible. No erase was started."})");
  }
  const RescueDriveStartResponse accepted{true, "7C1E", "Rescue Drive creation started."};
  EXPECT_EQ(RescueDriveStartResponse::decode(*json::encode(accepted.toJson())), accepted);
}

}  // namespace
}  // namespace tidewarden::rescue
