// Decoding of quarantine and restore requests and the quarantine manifest record.
#include <gtest/gtest.h>

#include <string>

#include "quarantine/background_quarantine_request.h"
#include "quarantine/background_restore_request.h"
#include "quarantine/quarantine_manifest.h"

namespace tidewarden::quarantine {
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

TEST(QuarantineRequestDecoding, RelatedPathsAreRequiredThoughNotUsed) {
  const auto request = BackgroundQuarantineRequest::decode(
      R"({"label":"com.example.updater","plistPath":"/Library/LaunchDaemons/com.example.updater.plist",)"
      R"("relatedPaths":["/Users/Shared/.cache/updater"]})");
  EXPECT_EQ(request.label, "com.example.updater");
  EXPECT_EQ(request.plistPath, "/Library/LaunchDaemons/com.example.updater.plist");
  EXPECT_EQ(request.relatedPaths, (std::vector<std::string>{"/Users/Shared/.cache/updater"}));

  EXPECT_EQ(decodeFailure<BackgroundQuarantineRequest>(
                R"({"label":"com.example.updater","plistPath":"/Library/LaunchDaemons/x.plist"})"),
            kPrefix + "the key \"relatedPaths\" is missing.");
  EXPECT_EQ(decodeFailure<BackgroundQuarantineRequest>(
                R"({"label":"x","plistPath":"/Library/LaunchDaemons/x.plist","relatedPaths":[1]})"),
            kPrefix + "the value of \"relatedPaths[0]\" has the wrong type (expected a string).");
}

TEST(RestoreRequestDecoding, TheQuarantineIdMustBeAString) {
  EXPECT_EQ(
      BackgroundRestoreRequest::decode(R"({"quarantineID":"4D2C8B1A-7E3F-4A69-8C05-B1E2D3F4A5C6"})")
          .quarantineID,
      "4D2C8B1A-7E3F-4A69-8C05-B1E2D3F4A5C6");
  EXPECT_EQ(decodeFailure<BackgroundRestoreRequest>("{}"),
            kPrefix + "the key \"quarantineID\" is missing.");
  EXPECT_EQ(decodeFailure<BackgroundRestoreRequest>(R"({"quarantineID":42})"),
            kPrefix + "the value of \"quarantineID\" has the wrong type (expected a string).");
}

TEST(QuarantineManifestCoding, TheManifestRoundTripsAndRefusesIncompleteRecords) {
  const QuarantineManifest manifest{
      .id = "4D2C8B1A-7E3F-4A69-8C05-B1E2D3F4A5C6",
      .label = "com.example.updater",
      .createdAt = json::Date{786000000.125},
      .records = {{"/Library/LaunchDaemons/com.example.updater.plist",
                   "/Library/Application Support/Tidewarden/Quarantine/"
                   "4D2C8B1A-7E3F-4A69-8C05-B1E2D3F4A5C6/startup-com.example.updater.plist"},
                  {"/Users/Shared/.cache/updater",
                   "/Library/Application Support/Tidewarden/Quarantine/"
                   "4D2C8B1A-7E3F-4A69-8C05-B1E2D3F4A5C6/0-updater"}},
  };
  const std::optional<std::string> text = json::encode(manifest.toJson());
  ASSERT_TRUE(text);
  EXPECT_EQ(QuarantineManifest::decode(*text), manifest);
  EXPECT_EQ(manifest.toJson().at("createdAt"), 786000000.125);

  nlohmann::json incomplete = manifest.toJson();
  incomplete["records"][1].erase("quarantined");
  EXPECT_EQ(decodeFailure<QuarantineManifest>(incomplete.dump()),
            kPrefix + "the key \"records[1].quarantined\" is missing.");
}

}  // namespace
}  // namespace tidewarden::quarantine
