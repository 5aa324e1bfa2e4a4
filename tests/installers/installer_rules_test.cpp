// The installer name and identity rules, the one resource-policy fallback of the signature check,
// and what an interrupted deletion may have left.
#include <sys/stat.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "installers/installer_application_name.h"
#include "installers/installer_deletion_record.h"
#include "installers/installer_identity.h"
#include "installers/installer_signature.h"
#include "platform/property_list.h"
#include "support/preparation_root.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::installers {
namespace {

using testing::storageRefusal;
using testing::TestSigningAuthority;

std::string info(const std::vector<std::pair<std::string, std::string>>& keys) {
  platform::PropertyList plist = platform::PropertyList::dictionary();
  for (const auto& [key, value] : keys) {
    if (!value.empty()) plist.set(key, platform::PropertyList::string(value));
  }
  return plist.toBinary();
}

// Only "Install macOS ….app" directly in /Applications, by the path grammar, without
// control characters, backslashes or invalid UTF-8, and at most 255 bytes.
TEST(InstallerApplicationNameTest, OnlyImmediateInstallMacOSApplicationsQualify) {
  const std::string longest = "Install macOS " + std::string(255 - 18, 'x') + ".app";
  const std::vector<std::pair<std::string, bool>> names{
      {"Install macOS Sequoia.app", true}, {longest, true}, {"Install macOS .app", true},
      {longest.substr(0, 14) + "x" + longest.substr(14), false}, {"Install macOSSequoia.app", false},
      {"Install macOS Sequoia.app copy", false}, {"Install macOS X.App", false}, {"Install macOS Se\\quoia.app", false},
      {"Install macOS Se\tquoia.app", false}, {"Install macOS Se\x7Fquoia.app", false},
      {"Install macOS Se\xC2\x85quoia.app", false}, {"Install macOS Se\xC2\xA0quoia.app", true},
      {"Install macOS Se\xFFquoia.app", false}, {"Install macOS", false},
  };
  for (const auto& [name, qualifies] : names) {
    EXPECT_EQ(isInstallerApplicationName(name), qualifies) << name;
    EXPECT_EQ(immediateInstallerName("/Applications/" + name).has_value(), qualifies) << name;
  }
  // The path grammar itself is the storage tests'.
  for (const char* path : {"/Applications/Sub/Install macOS Sequoia.app",
                           "/System/Volumes/Data/Applications/Install macOS Sequoia.app", "/Applications/"}) {
    EXPECT_EQ(immediateInstallerName(path), std::nullopt) << path;
  }
}

// The identifier with the package type APPL, or with the type given (none when empty).
TEST(InstallerIdentityTest, OnlyAppleInstallAssistantIdentifiersOfTheSupportedFormAreAccepted) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases{
      {"com.apple.InstallAssistant", "APPL", ""},
      {"com.apple.InstallAssistant.Seed", "APPL", ""},
      {"com.apple.InstallAssistant.macOS-15.1", "APPL", ""},
      {"com.apple.InstallAssistant.", "APPL", kUnsupportedIdentifierMessage},
      {"com.apple.InstallAssistant.Seed_1", "APPL", kUnsupportedIdentifierMessage},
      {"com.apple.InstallAssistant." + std::string(229, 'a'), "APPL", kUnsupportedIdentifierMessage},
      {"com.apple.installassistant", "APPL", kNotAnAppleInstallerMessage},
      {"com.apple.InstallAssistantX", "APPL", kNotAnAppleInstallerMessage},
      {"com.apple.InstallAssistant", "", kNotAnAppleInstallerMessage},
      {"com.apple.InstallAssistant", "FMWK", kNotAnAppleInstallerMessage},
  };
  for (const auto& [identifier, type, expected] : cases) {
    const std::string plist = info({{"CFBundleIdentifier", identifier}, {"CFBundlePackageType", type}});
    EXPECT_EQ(storageRefusal([&] { readInstallerIdentifier(plist); }), expected) << identifier << " " << type;
  }
}

// A seal that leaves resources out fails the strict check with -67013; only the bundle
// check may retry once, relaxed, and that retry still demands the requirement.
TEST(InstallerSignatureTest, TheResourcePolicyFallbackIsTakenOnlyWhereAllowedAndOnlyForMinus67013) {
  testing::TempDir dir;
  TestSigningAuthority authority;
  authority.addTeam("APPLESIM01", TestSigningAuthority::kAppleAnchor,
                    platform::codesign::CertificateClass::appleSoftware);
  // A registered developer under Apple's anchor is not Apple.
  authority.addTeam("DEVSIM0001", TestSigningAuthority::kAppleAnchor);
  const auto bundle = [&](const std::string& name, const std::string& team) {
    const std::string path = dir.path() + "/" + name;
    for (const char* folder : {"", "/Contents", "/Contents/MacOS", "/Contents/SharedSupport"}) {
      EXPECT_EQ(::mkdir((path + folder).c_str(), 0755), 0);
    }
    testing::writeFileBytes(path + "/Contents/Info.plist",
                            info({{"CFBundleIdentifier", "com.apple.InstallAssistant"}, {"CFBundleExecutable", "A"}}));
    testing::writeFileBytes(path + "/Contents/MacOS/A", "main", 0755);
    authority.sign(path, "com.apple.InstallAssistant", team, {"Contents/SharedSupport", "Contents/SharedSupport/*"});
    return path;
  };
  const platform::CodeSigning signing(authority.options());
  const std::string apple = bundle("Apple.app", "APPLESIM01");
  const std::string other = bundle("Other.app", "DEVSIM0001");
  const std::string prefix = "Label could not pass ";
  const auto check = [&](const std::string& path, bool fallback) {
    return storageRefusal([&] { checkStaticCode(signing, path, "anchor apple", "Label", fallback); });
  };
  EXPECT_EQ(check(apple, true), "");
  EXPECT_TRUE(check(apple, false).starts_with(prefix + "strict signature verification (Security status -67013). "
                                                       "Permanent deletion was not approved. "));
  EXPECT_TRUE(check(other, true).starts_with(prefix + "Apple-installer resource-policy verification (Security status "
                                                      "-67050). Permanent deletion was not approved. "))
      << check(other, true);
  EXPECT_TRUE(check(dir.path() + "/missing.app", true)
                  .starts_with(prefix + "opening its static code signature (Security status"));
}

// Remains match their deletion record only when nothing is new or changed; a directory's
// times and size change by the deletion itself.
TEST(InstallerDeletionRecordTest, RemainsMatchOnlyWhatTheRecordHoldsUnchanged) {
  storage::PreparationTreeSnapshot approved;
  approved.entries = {{"Contents", {.device = 1, .inode = 10, .logicalBytes = 96, .modifiedSeconds = 5}, S_IFDIR | 0755},
                      {"Contents/a", {.device = 1, .inode = 11, .logicalBytes = 3, .modifiedSeconds = 5}, S_IFREG | 0644},
                      {"Contents/b", {.device = 1, .inode = 12, .logicalBytes = 3, .modifiedSeconds = 5}, S_IFREG | 0644}};
  const InstallerDeletionRecord record = deletionRecord("/Applications/Install macOS Sequoia.app", 1, 9, approved);
  ASSERT_EQ(decodeDeletionRecord(*platform::json::encode(platform::json::encodeValue(record))), record);
  const std::vector<std::pair<std::string, std::function<void(storage::PreparationTreeSnapshot&)>>> cases{
      {"part removed, folder emptied", [](auto& s) { s.entries.pop_back(); s.entries[0].identity.modifiedSeconds = 9; }},
      {"all removed", [](auto& s) { s.entries.clear(); }},
      {"new entry", [](auto& s) { s.entries.push_back({"Contents/c", {.device = 1, .inode = 13}, S_IFREG | 0644}); }},
      {"file grew", [](auto& s) { s.entries[1].identity.logicalBytes = 4; }},
      {"file replaced", [](auto& s) { s.entries[2].identity.inode = 14; }},
      {"mode changed", [](auto& s) { s.entries[1].mode = S_IFREG | 0600; }},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    storage::PreparationTreeSnapshot remains = approved;
    cases[i].second(remains);
    EXPECT_EQ(remainsMatchRecord(remains, record), i < 2) << cases[i].first;
  }
}

}  // namespace
}  // namespace tidewarden::installers
