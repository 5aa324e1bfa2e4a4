// Bundle signatures: every entry sealed, tampering by kind, omit rules under strict and relaxed checks.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <atomic>
#include <functional>
#include <thread>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::kAdhoc;
using testing::readFileBytes;
using testing::TempDir;
using testing::TestSigningAuthority;
using testing::writeFileBytes;

constexpr const char* kIdentifier = "com.example.App";

std::string infoPlist(const std::string& executable) {
  std::string entries = "<key>CFBundleIdentifier</key><string>com.example.App</string>";
  if (!executable.empty()) entries += "<key>CFBundleExecutable</key><string>" + executable + "</string>";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>" +
         entries + "</dict></plist>\n";
}

class CodeSigningBundleTest : public ::testing::Test {
 protected:
  CodeSigningBundleTest() { authority.addTeam("TEAMONE"); }

  // App.app with an executable, resources, a link, an empty folder and a log folder.
  std::string makeBundle(const std::string& name = "App.app") {
    std::string bundle = dir.path() + "/" + name;
    for (const char* folder : {"", "/Contents", "/Contents/MacOS", "/Contents/Resources", "/Contents/Resources/en.lproj",
                               "/Contents/Resources/Empty", "/Contents/Logs"}) {
      EXPECT_EQ(::mkdir((bundle + folder).c_str(), 0755), 0) << folder;
    }
    writeFileBytes(bundle + "/Contents/Info.plist", infoPlist("App"));
    writeFileBytes(bundle + "/Contents/MacOS/App", "main executable bytes", 0755);
    writeFileBytes(bundle + "/Contents/Resources/data.bin", std::string(70000, 'd'));
    writeFileBytes(bundle + "/Contents/Resources/en.lproj/Strings.txt", "hello");
    writeFileBytes(bundle + "/Contents/Logs/run.log", "log line\n");
    EXPECT_EQ(::symlink("data.bin", (bundle + "/Contents/Resources/Current").c_str()), 0);
    return bundle;
  }

  OSStatus check(const std::string& path, std::uint32_t flags = 0, std::string* description = nullptr,
                 const std::string& requirementText = {}) {
    CodeSigning signing(authority.options());
    std::shared_ptr<const CodeRequirement> requirement;
    if (!requirementText.empty()) {
      EXPECT_EQ(signing.createRequirementWithString(requirementText, 0, requirement), kErrSecSuccess);
    }
    std::shared_ptr<const StaticCodeObject> code;
    EXPECT_EQ(signing.createStaticCodeWithPath(path, 0, code), kErrSecSuccess);
    if (!code) return kErrSecCSInternalError;
    return signing.checkStaticValidity(*code, flags, requirement.get(), description);
  }

  std::optional<SigningInformation> information(const std::string& path) {
    CodeSigning signing(authority.options());
    std::shared_ptr<const StaticCodeObject> code;
    EXPECT_EQ(signing.createStaticCodeWithPath(path, 0, code), kErrSecSuccess);
    std::optional<SigningInformation> info;
    EXPECT_EQ(signing.copySigningInformation(*code, kSecCSSigningInformation, info), kErrSecSuccess);
    return info;
  }

  std::string signRefusal(const std::string& path, const std::vector<std::string>& omit = {}) {
    try {
      authority.signBundle(path, kIdentifier, "TEAMONE", omit);
    } catch (const SigningError& error) {
      return error.what();
    }
    return "(signed)";
  }

  TempDir dir;
  TestSigningAuthority authority;
};

TEST_F(CodeSigningBundleTest, SignedBundleIsValidWithItsMainExecutable) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE");

  EXPECT_EQ(check(bundle, kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate), kErrSecSuccess);
  EXPECT_EQ(check(bundle + "/"), kErrSecSuccess);
  std::optional<SigningInformation> info = information(bundle);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, "TEAMONE");
  EXPECT_EQ(info->mainExecutable, bundle + "/Contents/MacOS/App");

  std::optional<SignatureSummary> summary = describeCode(bundle);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->format, "bundle");
  EXPECT_EQ(summary->mainExecutable, "App");
  // Contents, Info.plist, MacOS, App, Resources, data.bin, en.lproj, Strings.txt, Empty,
  // Current, Logs, run.log and the _CodeSignature folder (not the signature file).
  EXPECT_EQ(summary->sealedEntries, 13u);

  // Re-signing replaces the signature file; the old one is not sealed into the new one.
  authority.signBundle(bundle, "com.example.Renamed", kAdhoc);
  EXPECT_EQ(check(bundle), kErrSecSuccess);
  EXPECT_EQ(information(bundle)->identifier, "com.example.Renamed");
  EXPECT_EQ(describeCode(bundle)->sealedEntries, 13u);
}

TEST_F(CodeSigningBundleTest, EveryKindOfChangeIsABadResource) {
  struct Change {
    const char* name;
    std::function<void(const std::string&)> apply;
    std::string detail;
  };
  std::vector<Change> changes = {
      {"file added", [](const std::string& b) { writeFileBytes(b + "/Contents/Resources/extra.txt", "x"); },
       "file added: Contents/Resources/extra.txt"},
      {"file removed", [](const std::string& b) { ::unlink((b + "/Contents/Resources/data.bin").c_str()); },
       "sealed file missing: Contents/Resources/data.bin"},
      {"one byte changed",
       [](const std::string& b) {
         std::string bytes = readFileBytes(b + "/Contents/Resources/data.bin");
         bytes[65536] = 'e';
         writeFileBytes(b + "/Contents/Resources/data.bin", bytes);
       },
       "file modified: Contents/Resources/data.bin"},
      {"main executable changed", [](const std::string& b) { writeFileBytes(b + "/Contents/MacOS/App", "other", 0755); },
       "file modified: Contents/MacOS/App"},
      {"Info.plist changed", [](const std::string& b) { writeFileBytes(b + "/Contents/Info.plist", infoPlist("")); },
       "file modified: Contents/Info.plist"},
      {"link retargeted",
       [](const std::string& b) {
         std::string link = b + "/Contents/Resources/Current";
         ::unlink(link.c_str());
         ::symlink("en.lproj", link.c_str());
       },
       "symbolic link modified: Contents/Resources/Current"},
      {"empty folder removed", [](const std::string& b) { ::rmdir((b + "/Contents/Resources/Empty").c_str()); },
       "sealed directory missing: Contents/Resources/Empty"},
      {"file replaced by a link",
       [](const std::string& b) {
         std::string file = b + "/Contents/Resources/en.lproj/Strings.txt";
         ::unlink(file.c_str());
         ::symlink("/etc/passwd", file.c_str());
       },
       "sealed file is now a symbolic link: Contents/Resources/en.lproj/Strings.txt"},
      {"file beside the signature", [](const std::string& b) { writeFileBytes(b + "/Contents/_CodeSignature/extra", ""); },
       "file added: Contents/_CodeSignature/extra"},
      {"file at the top", [](const std::string& b) { writeFileBytes(b + "/README", ""); }, "file added: README"},
      {"named pipe added", [](const std::string& b) { ::mkfifo((b + "/Contents/Resources/pipe").c_str(), 0644); },
       "Contents/Resources/pipe is not a regular file, directory or symbolic link"},
  };
  int index = 0;
  for (const Change& change : changes) {
    std::string bundle = makeBundle("App" + std::to_string(index++) + ".app");
    authority.signBundle(bundle, kIdentifier, "TEAMONE");
    ASSERT_EQ(check(bundle), kErrSecSuccess) << change.name;
    change.apply(bundle);
    std::string description;
    EXPECT_EQ(check(bundle, 0, &description), kErrSecCSBadResource) << change.name;
    EXPECT_EQ(description, "a sealed resource is missing or invalid: " + change.detail) << change.name;
  }
}

TEST_F(CodeSigningBundleTest, SignatureFileTamperingAndRemoval) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE");
  std::string signaturePath = bundle + "/Contents/_CodeSignature/CodeSignature";
  std::string blob = readFileBytes(signaturePath);

  for (std::size_t offset : {std::size_t{20}, blob.size() / 2, blob.size() - 1}) {
    std::string changed = blob;
    changed[offset] = static_cast<char>(changed[offset] ^ 0x04);
    writeFileBytes(signaturePath, changed);
    EXPECT_EQ(check(bundle), kErrSecCSSignatureFailed) << offset;
  }
  writeFileBytes(signaturePath, blob);
  EXPECT_EQ(check(bundle), kErrSecSuccess);

  // A file signature moved into a bundle (or the reverse) is refused.
  std::string file = dir.path() + "/tool";
  writeFileBytes(file, "tool", 0755);
  authority.signFile(file, kIdentifier, "TEAMONE");
  std::string fileBytes = readFileBytes(file);
  writeFileBytes(signaturePath, fileBytes.substr(4, fileBytes.size() - 4 - 16));
  EXPECT_EQ(check(bundle), kErrSecCSSignatureFailed);

  ASSERT_EQ(::unlink(signaturePath.c_str()), 0);
  EXPECT_EQ(check(bundle), kErrSecCSUnsigned);
  std::optional<SigningInformation> info = information(bundle);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, std::nullopt);
  EXPECT_EQ(info->mainExecutable, bundle + "/Contents/MacOS/App");
}

TEST_F(CodeSigningBundleTest, OmitRulesFailStrictButPassRelaxedValidation) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE", {"Contents/Logs", "*.cache"});
  const std::uint32_t strict = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate;
  const std::uint32_t relaxed = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode;

  std::string description;
  EXPECT_EQ(check(bundle, strict, &description), kErrSecCSWeakResourceRules);
  EXPECT_EQ(description,
            "signature uses weak resource rules that leave files unsealed: the signature leaves files matching omit "
            "rules unsealed");
  EXPECT_EQ(check(bundle, relaxed), kErrSecSuccess);
  EXPECT_EQ(check(bundle, strict, nullptr, "anchor trusted"), kErrSecCSWeakResourceRules);

  // Omitted paths may change freely under the relaxed check.
  writeFileBytes(bundle + "/Contents/Logs/run.log", "rotated\n");
  writeFileBytes(bundle + "/Contents/Logs/new.log", "new\n");
  writeFileBytes(bundle + "/Contents/Resources/index.cache", "cache");
  EXPECT_EQ(check(bundle, relaxed), kErrSecSuccess);

  // Sealed ones may not, and then the strict check reports the damage, not the rules.
  writeFileBytes(bundle + "/Contents/Resources/en.lproj/Strings.txt", "changed");
  EXPECT_EQ(check(bundle, relaxed), kErrSecCSBadResource);
  EXPECT_EQ(check(bundle, strict), kErrSecCSBadResource);
}

TEST_F(CodeSigningBundleTest, OmitRulesNeverUnsealInfoPlistOrMainExecutable) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE", {"*"});
  EXPECT_EQ(describeCode(bundle)->sealedEntries, 5u);  // Contents, Info.plist, MacOS, App, _CodeSignature

  writeFileBytes(bundle + "/Contents/Resources/data.bin", "unsealed");
  EXPECT_EQ(check(bundle), kErrSecSuccess);
  writeFileBytes(bundle + "/Contents/MacOS/App", "replaced", 0755);
  EXPECT_EQ(check(bundle), kErrSecCSBadResource);

  std::string other = makeBundle("Other.app");
  authority.signBundle(other, kIdentifier, "TEAMONE", {"*"});
  writeFileBytes(other + "/Contents/Info.plist", infoPlist(""));
  EXPECT_EQ(check(other), kErrSecCSBadResource);
}

TEST_F(CodeSigningBundleTest, SigningRefusesMalformedBundles) {
  std::string flat = dir.path() + "/Flat.app";
  ASSERT_EQ(::mkdir(flat.c_str(), 0755), 0);
  EXPECT_EQ(signRefusal(flat), "Cannot sign " + flat + ": the bundle has no Contents directory.");
  EXPECT_EQ(check(flat), kErrSecCSBadBundleFormat);

  std::string garbled = makeBundle("Garbled.app");
  writeFileBytes(garbled + "/Contents/Info.plist", "not a property list");
  EXPECT_EQ(signRefusal(garbled), "Cannot sign " + garbled + ": Contents/Info.plist is not a property-list dictionary.");

  std::string missing = makeBundle("Missing.app");
  writeFileBytes(missing + "/Contents/Info.plist", infoPlist("Missing"));
  EXPECT_EQ(signRefusal(missing), "Cannot sign " + missing + ": Contents/MacOS/Missing is not a regular file.");
  ASSERT_EQ(::symlink("App", (missing + "/Contents/MacOS/Missing").c_str()), 0);
  EXPECT_EQ(signRefusal(missing), "Cannot sign " + missing + ": Contents/MacOS/Missing is not a regular file.");

  std::string piped = makeBundle("Piped.app");
  ASSERT_EQ(::mkfifo((piped + "/Contents/Resources/pipe").c_str(), 0644), 0);
  EXPECT_EQ(signRefusal(piped),
            "Cannot seal " + piped + ": Contents/Resources/pipe is not a regular file, directory or symbolic link.");
  EXPECT_EQ(signRefusal(piped, {"Contents/Resources/pipe"}), "(signed)");

  // Nothing was written into the refused bundles.
  for (const std::string& refused : {garbled, missing}) {
    struct stat st;
    EXPECT_NE(::lstat((refused + "/Contents/_CodeSignature/CodeSignature").c_str(), &st), 0) << refused;
  }

  // Without CFBundleExecutable (or without Info.plist) a bundle has no main executable.
  std::string noExecutable = makeBundle("NoExecutable.app");
  writeFileBytes(noExecutable + "/Contents/Info.plist", infoPlist(""));
  EXPECT_EQ(signRefusal(noExecutable), "(signed)");
  EXPECT_EQ(check(noExecutable), kErrSecSuccess);
  EXPECT_EQ(information(noExecutable)->mainExecutable, std::nullopt);
}

TEST_F(CodeSigningBundleTest, BinaryInfoPlistIsRead) {
  std::string bundle = makeBundle();
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleExecutable", plist_new_string("App"));
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bytes, &length);
  plist_free(dict);
  ASSERT_NE(bytes, nullptr);
  writeFileBytes(bundle + "/Contents/Info.plist", std::string(bytes, length));
  std::free(bytes);

  authority.signBundle(bundle, kIdentifier, "TEAMONE");
  EXPECT_EQ(check(bundle), kErrSecSuccess);
  EXPECT_EQ(information(bundle)->mainExecutable, bundle + "/Contents/MacOS/App");
}

TEST_F(CodeSigningBundleTest, NestedToolKeepsItsOwnSignatureInsideTheSealedBundle) {
  authority.addTeam("APPLETEAM", TestSigningAuthority::kAppleAnchor);
  std::string bundle = makeBundle("Install macOS Test.app");
  std::string tool = bundle + "/Contents/Resources/createinstallmedia";
  writeFileBytes(tool, "media tool", 0755);
  authority.signFile(tool, "com.apple.createinstallmedia", "APPLETEAM");
  authority.signBundle(bundle, "com.apple.InstallAssistant.Seed", "APPLETEAM");

  EXPECT_EQ(check(bundle, 25, nullptr, "anchor apple and identifier \"com.apple.InstallAssistant.Seed\""),
            kErrSecSuccess);
  EXPECT_EQ(check(tool, 25, nullptr, "anchor apple"), kErrSecSuccess);

  // Re-signing the inner tool afterwards changes a sealed file of the bundle.
  authority.signFile(tool, "com.apple.createinstallmedia", "TEAMONE");
  EXPECT_EQ(check(tool, 25, nullptr, "anchor apple"), kErrSecCSReqFailed);
  EXPECT_EQ(check(bundle, 25), kErrSecCSBadResource);
}

TEST_F(CodeSigningBundleTest, BundleObjectIsPinnedToTheDirectoryItOpened) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE");
  CodeSigning signing(authority.options());
  std::shared_ptr<const StaticCodeObject> code;
  ASSERT_EQ(signing.createStaticCodeWithPath(bundle, 0, code), kErrSecSuccess);

  ASSERT_EQ(::rename(bundle.c_str(), (dir.path() + "/Moved.app").c_str()), 0);
  makeBundle();  // an unsigned bundle now under the old name
  EXPECT_EQ(signing.checkStaticValidity(*code, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(check(bundle), kErrSecCSUnsigned);
}

TEST_F(CodeSigningBundleTest, OneObjectIsCheckedFromSeveralThreadsAtOnce) {
  std::string bundle = makeBundle();
  authority.signBundle(bundle, kIdentifier, "TEAMONE");
  std::string file = bundle + "/Contents/MacOS/App";
  CodeSigning signing(authority.options());
  std::shared_ptr<const StaticCodeObject> bundleCode;
  std::shared_ptr<const StaticCodeObject> fileCode;
  ASSERT_EQ(signing.createStaticCodeWithPath(bundle, 0, bundleCode), kErrSecSuccess);
  ASSERT_EQ(signing.createStaticCodeWithPath(file, 0, fileCode), kErrSecSuccess);

  // The pinned descriptors are shared: reads must not depend on a shared file offset.
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (signing.checkStaticValidity(*bundleCode, 0, nullptr) != kErrSecSuccess) ++failures;
        if (signing.checkStaticValidity(*fileCode, 0, nullptr) != kErrSecCSUnsigned) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tidewarden::platform
