// Decoding of the materialize request and the wire shape of its reply.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "materialize/materialize_install_assistant_request.h"
#include "materialize/materialize_install_assistant_response.h"

namespace tidewarden::materialize {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

std::string decodeFailure(const std::string& document) {
  try {
    MaterializeInstallAssistantRequest::decode(document);
  } catch (const json::DecodeError& error) {
    return error.what();
  }
  ADD_FAILURE() << "decoded: " << document;
  return {};
}

TEST(MaterializeRequestDecoding, DecodesAndRequiresEveryKey) {
  const auto request = MaterializeInstallAssistantRequest::decode(
      R"({"packagePath":"/Users/Shared/Tidewarden/Downloads/Sequoia-15.1/InstallAssistant.pkg",)"
      R"("expectedVersion":"15.1","expectedBuild":"24B83"})");
  EXPECT_EQ(request.packagePath,
            "/Users/Shared/Tidewarden/Downloads/Sequoia-15.1/InstallAssistant.pkg");
  EXPECT_EQ(request.expectedVersion, "15.1");
  EXPECT_EQ(request.expectedBuild, "24B83");

  EXPECT_EQ(decodeFailure(R"({"packagePath":"/x","expectedVersion":"15.1"})"),
            kPrefix + "the key \"expectedBuild\" is missing.");
  EXPECT_EQ(
      decodeFailure(R"({"packagePath":null,"expectedVersion":"15.1","expectedBuild":"24B83"})"),
      kPrefix + "the key \"packagePath\" is missing.");
  EXPECT_EQ(decodeFailure(R"({"packagePath":"/x","expectedVersion":15.1,"expectedBuild":"24B83"})"),
            kPrefix + "the value of \"expectedVersion\" has the wrong type (expected a string).");
  // Version and build patterns are checked by the materialize flow with its own message.
  EXPECT_EQ(MaterializeInstallAssistantRequest::decode(
                R"({"packagePath":"relative","expectedVersion":"15","expectedBuild":"24b83"})")
                .expectedVersion,
            "15");
}

TEST(MaterializeResponseCoding, FailureShapeAndFullReplyRoundTrip) {
  const MaterializeInstallAssistantResponse refused{.success = false,
                                                    .message = "Preparation request is too large."};
  EXPECT_EQ(json::encode(refused.toJson()),
            R"({"message":"Preparation request is too large.","success":false})");

  const MaterializeInstallAssistantResponse done{
      .success = true,
      .message = "The verified macOS installer is ready in /Applications.",
      .installerPath = "/Applications/Install macOS Sequoia.app",
      .payloadIdentity = InstallerPayloadIdentity{"15.1", "24B83"},
      .preparationCleanup =
          storage::InstallerPreparationCleanupReport{.verified = true,
                                                     .allocatedBytesBefore = 41000000000,
                                                     .availableBytesBefore = 20000000000,
                                                     .availableBytesAfter = 61000000000,
                                                     .issues = {}},
  };
  const nlohmann::json object = done.toJson();
  EXPECT_EQ(object.at("payloadIdentity"),
            (nlohmann::json{{"version", "15.1"}, {"build", "24B83"}}));
  EXPECT_FALSE(object.at("preparationCleanup").contains("workspacePath"));
  const std::optional<std::string> text = json::encode(object);
  ASSERT_TRUE(text);
  EXPECT_EQ(MaterializeInstallAssistantResponse::decode(*text), done);

  nlohmann::json broken = object;
  broken["preparationCleanup"].erase("verified");
  try {
    MaterializeInstallAssistantResponse::decode(broken.dump());
    ADD_FAILURE() << "decoded without preparationCleanup.verified";
  } catch (const json::DecodeError& error) {
    EXPECT_STREQ(error.what(),
                 (kPrefix + "the key \"preparationCleanup.verified\" is missing.").c_str());
  }
}

}  // namespace
}  // namespace tidewarden::materialize
