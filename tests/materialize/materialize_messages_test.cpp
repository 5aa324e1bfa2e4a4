// Decoding of the materialize request and the wire shape of its reply.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "materialize/materialize_messages.h"

namespace tidewarden::materialize {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

std::string decodeFailure(const std::string& document) {
  return testing::decodeFailure<MaterializeInstallAssistantRequest>(document);
}

TEST(MaterializeRequestDecoding, DecodesCompletelyAndRequiresEveryKey) {
  const nlohmann::json document = nlohmann::json::parse(
      R"({"packagePath":"/Users/Shared/Tidewarden/Downloads/Sequoia-15.1/InstallAssistant.pkg",)"
      R"("expectedVersion":"15.1","expectedBuild":"24B83"})");
  const auto request = json::decodeDocument<MaterializeInstallAssistantRequest>(document.dump());
  EXPECT_EQ(json::encodeValue(request), document);
  EXPECT_EQ(request.expectedBuild, "24B83");

  EXPECT_EQ(decodeFailure(R"({"packagePath":"/x","expectedVersion":"15.1"})"),
            kPrefix + "the key \"expectedBuild\" is missing.");
  EXPECT_EQ(decodeFailure(R"({"packagePath":"/x","expectedVersion":15.1,"expectedBuild":"24B83"})"),
            kPrefix + "the value of \"expectedVersion\" has the wrong type (expected a string).");
  // Version and build patterns are checked by the materialize flow with its own message.
  EXPECT_EQ(json::decodeDocument<MaterializeInstallAssistantRequest>(
                R"({"packagePath":"relative","expectedVersion":"15","expectedBuild":"24b83"})")
                .expectedVersion,
            "15");
}

TEST(MaterializeResponseCoding, TheFailureShapeCarriesTwoKeysAndAFullReplyEveryField) {
  const MaterializeInstallAssistantResponse refused{.success = false,
                                                    .message = "Preparation request is too large."};
  EXPECT_EQ(json::encode(json::encodeValue(refused)),
            R"({"message":"Preparation request is too large.","success":false})");

  const MaterializeInstallAssistantResponse done{
      true, "Ready.", "/Applications/Install macOS Sequoia.app",
      InstallerPayloadIdentity{"15.1", "24B83"},
      storage::InstallerPreparationCleanupReport{.verified = true,
                                                 .allocatedBytesBefore = 41000000000,
                                                 .availableBytesBefore = 20000000000,
                                                 .availableBytesAfter = 61000000000}};
  EXPECT_EQ(json::encodeValue(done), nlohmann::json::parse(R"({"success": true, "message": "Ready.",
      "installerPath": "/Applications/Install macOS Sequoia.app",
      "payloadIdentity": {"version": "15.1", "build": "24B83"},
      "preparationCleanup": {"verified": true, "allocatedBytesBefore": 41000000000, "issues": [],
          "availableBytesBefore": 20000000000, "availableBytesAfter": 61000000000}})"));
}

}  // namespace
}  // namespace tidewarden::materialize
