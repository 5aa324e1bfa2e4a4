// The installer identity rule and the one resource-policy fallback of the signature check.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installers/installer_identity.h"
#include "installers/installer_signature.h"
#include "platform/property_list.h"
#include "storage/installer_safety_error.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::installers {
namespace {

using testing::TestSigningAuthority;

std::string info(const std::vector<std::pair<std::string, std::string>>& keys) {
  platform::PropertyList plist = platform::PropertyList::dictionary();
  for (const auto& [key, value] : keys) plist.set(key, platform::PropertyList::string(value));
  return plist.toBinary();
}

std::string refusal(const std::function<void()>& check) {
  try {
    check();
  } catch (const storage::InstallerSafetyError& error) {
    return error.what();
  }
  return "(accepted)";
}

TEST(InstallerIdentityTest, OnlyAppleInstallAssistantIdentifiersOfTheSupportedFormAreAccepted) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"com.apple.InstallAssistant", "(accepted)"},
      {"com.apple.InstallAssistant.Seed", "(accepted)"},
      {"com.apple.InstallAssistant.macOS-15.1", "(accepted)"},
      {"com.apple.InstallAssistant.", kUnsupportedIdentifierMessage},
      {"com.apple.InstallAssistant.Seed_1", kUnsupportedIdentifierMessage},
      {"com.apple.InstallAssistant." + std::string(229, 'a'), kUnsupportedIdentifierMessage},
      {"com.apple.installassistant", kNotAnAppleInstallerMessage},
      {"com.apple.InstallAssistantX", kNotAnAppleInstallerMessage},
  };
  for (const auto& [identifier, expected] : cases) {
    EXPECT_EQ(refusal([&] { readInstallerIdentifier(info({{"CFBundleIdentifier", identifier},
                                                          {"CFBundlePackageType", "APPL"}})); }),
              expected)
        << identifier;
  }
  EXPECT_EQ(refusal([] { readInstallerIdentifier(info({{"CFBundleIdentifier", "com.apple.InstallAssistant"}})); }),
            kNotAnAppleInstallerMessage);
  EXPECT_EQ(refusal([] {
              readInstallerIdentifier(info({{"CFBundleIdentifier", "com.apple.InstallAssistant"},
                                            {"CFBundlePackageType", "FMWK"}}));
            }),
            kNotAnAppleInstallerMessage);
}

// A seal that leaves resources out fails the strict check with -67013; only the bundle
// check may retry once, relaxed, and that retry still demands the requirement.
TEST(InstallerSignatureTest, TheResourcePolicyFallbackIsTakenOnlyWhereAllowedAndOnlyForMinus67013) {
  testing::TempDir dir;
  TestSigningAuthority authority;
  authority.addTeam("APPLESIM01", TestSigningAuthority::kAppleAnchor);
  authority.addTeam("OTHERTEAM");
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
  const std::string other = bundle("Other.app", "OTHERTEAM");
  const std::string prefix = "Label could not pass ";
  const auto check = [&](const std::string& path, bool fallback) {
    return refusal([&] { checkStaticCode(signing, path, "anchor apple", "Label", fallback); });
  };
  EXPECT_EQ(check(apple, true), "(accepted)");
  EXPECT_EQ(check(apple, false).rfind(prefix + "strict signature verification (Security status -67013). Permanent "
                                               "deletion was not approved. ", 0),
            0u);
  EXPECT_EQ(check(other, true).rfind(prefix + "Apple-installer resource-policy verification (Security status -67050). "
                                              "Permanent deletion was not approved. ", 0),
            0u)
      << check(other, true);
  EXPECT_EQ(check(dir.path() + "/missing.app", true).rfind(prefix + "opening its static code signature (Security status", 0),
            0u);
}

}  // namespace
}  // namespace tidewarden::installers
