// Decoding of quarantine and restore requests and the quarantine manifest record.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

using testing::decodeFailure;

TEST(QuarantineRequestDecoding, RequestsDecodeCompletelyAndRelatedPathsAreRequiredThoughNotUsed) {
  const nlohmann::json document = nlohmann::json::parse(R"({"label":"com.example.updater",
      "plistPath":"/Library/LaunchDaemons/com.example.updater.plist",
      "relatedPaths":["/Users/Shared/.cache/updater"]})");
  const auto request = json::decodeDocument<BackgroundQuarantineRequest>(document.dump());
  EXPECT_EQ(json::encodeValue(request), document);
  EXPECT_EQ(request.plistPath, "/Library/LaunchDaemons/com.example.updater.plist");
  EXPECT_EQ(decodeFailure<BackgroundQuarantineRequest>(
                R"({"label":"com.example.updater","plistPath":"/Library/LaunchDaemons/x.plist"})"),
            kPrefix + "the key \"relatedPaths\" is missing.");

  EXPECT_EQ(json::decodeDocument<BackgroundRestoreRequest>(R"({"quarantineID":"4D2C8B1A"})").quarantineID,
            "4D2C8B1A");
  EXPECT_EQ(decodeFailure<BackgroundRestoreRequest>(R"({"quarantineID":42})"),
            kPrefix + "the value of \"quarantineID\" has the wrong type (expected a string).");
}

TEST(QuarantineManifestCoding, TheManifestRoundTripsAndRefusesIncompleteRecords) {
  const std::string folder = "/Library/Application Support/Tidewarden/Quarantine/4D2C8B1A/";
  const QuarantineManifest manifest{
      "4D2C8B1A", "com.example.updater", json::Date{786000000.125},
      {{"/Library/LaunchDaemons/com.example.updater.plist",
        folder + "startup-com.example.updater.plist"},
       {"/Users/Shared/.cache/updater", folder + "0-updater"}}};
  EXPECT_EQ(json::decodeDocument<QuarantineManifest>(json::encode(json::encodeValue(manifest)).value_or("")), manifest);
  EXPECT_EQ(json::encodeValue(manifest).at("createdAt"), 786000000.125);

  nlohmann::json incomplete = json::encodeValue(manifest);
  incomplete["records"][1].erase("quarantined");
  EXPECT_EQ(decodeFailure<QuarantineManifest>(incomplete.dump()),
            kPrefix + "the key \"records[1].quarantined\" is missing.");
}

}  // namespace
}  // namespace tidewarden::quarantine
