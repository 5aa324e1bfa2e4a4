// Code signing: static code (file and bundle signatures, tampering, trust anchors, requirements, omit
// rules, path walks), guest and own code of real processes, and tidewarden-codesign as a real program.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <tuple>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "platform/code_signing_process.h"
#include "platform/code_signing_requirement.h"
#include "platform/property_list.h"
#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/plist_builder.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::eventually;
using testing::kAdhoc;
using testing::readFileBytes;
using testing::RunningProgram;
using testing::signingRefusal;
using testing::TempDir;
using testing::TestSigningAuthority;
using testing::writeFileBytes;

constexpr const char* kIdentifier = "com.ambergrove.Tidewarden";
const std::string kProgram = "\x7f" "ELF pretend program bytes\n" + std::string(300, 'x');
constexpr std::uint32_t kStrict = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate;
constexpr std::uint32_t kRelaxed = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode;

std::string infoPlist(const std::string& executable) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" +
         (executable.empty() ? "" : "<key>CFBundleExecutable</key><string>" + executable + "</string>") +
         "</dict></plist>\n";
}

class CodeSigningFileTest : public ::testing::Test {
 protected:
  std::string program(const std::string& name, const std::string& bytes = kProgram) {
    std::string path = dir.path() + "/" + name;
    writeFileBytes(path, bytes, 0755);
    return path;
  }

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

  std::string signRefusal(const std::string& path, const std::vector<std::string>& omit = {}) {
    return signingRefusal(path, SignOptions{kIdentifier, authority.team("TEAMONE"), omit});
  }

  TempDir dir;
  TestSigningAuthority authority;
};
using CodeSigningBundleTest = CodeSigningFileTest;

TEST_F(CodeSigningFileTest, UnsignedCodeIsInvalidThenItsTeamSignatureValidAndReplaceable) {
  std::string path = program("tool");
  std::string description;
  EXPECT_EQ(authority.check(path, {}, 0, &description), kErrSecCSUnsigned);
  EXPECT_EQ(description, "code object is not signed at all");
  EXPECT_EQ(authority.information(path).value().identifier, std::nullopt);
  EXPECT_EQ(authority.information(path).value().mainExecutable, path);
  EXPECT_EQ(describeCode(path), std::nullopt);
  EXPECT_EQ(authority.check(program("empty", "")), kErrSecCSUnsigned);

  authority.sign(path, "first.identifier", kAdhoc);
  const std::size_t adhocSize = readFileBytes(path).size();
  authority.sign(path, kIdentifier, "TEAMONE");
  authority.sign(path, kIdentifier, "TEAMONE");

  EXPECT_EQ(authority.check(path, {}, 0, &description), kErrSecSuccess);
  EXPECT_EQ(description, "");
  EXPECT_EQ(authority.check(path, {}, kStrict), kErrSecSuccess);
  EXPECT_EQ(authority.check(path, {}, 4), kErrSecCSInvalidFlags);
  // The signed range is exactly the original bytes; the mode is kept.
  EXPECT_EQ(readFileBytes(path).substr(0, kProgram.size()), kProgram);
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0755));

  EXPECT_EQ(authority.information(path).value().identifier, kIdentifier);
  EXPECT_EQ(authority.information(path).value().mainExecutable, path);
  // The team is part of the answer only when asked for with the signing-information flag.
  EXPECT_EQ(authority.information(path).value().teamIdentifier, "TEAMONE");
  EXPECT_EQ(authority.information(path, kSecCSDefaultFlags).value().teamIdentifier, std::nullopt);
  // One signature only: signing ad hoc again gives back the size of the first ad hoc file.
  authority.sign(path, "first.identifier", kAdhoc);
  EXPECT_EQ(readFileBytes(path).size(), adhocSize);
}

TEST_F(CodeSigningFileTest, EveryChangedByteFailsValidityAlsoAcrossChunkBoundaries) {
  std::string path = program("tool", std::string("short program ") + std::string(50, 'p'));
  authority.sign(path, kIdentifier, "TEAMONE");
  const std::string signedBytes = readFileBytes(path);
  const std::size_t programSize = 64;
  for (std::size_t i = 0; i < signedBytes.size(); ++i) {
    std::string changed = signedBytes;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    writeFileBytes(path, changed, 0755);
    OSStatus status = authority.check(path);
    if (i < programSize) {
      ASSERT_EQ(status, kErrSecCSSignatureFailed) << "program byte " << i;
    } else {
      // A changed trailer magic makes the file look unsigned; everything else fails.
      ASSERT_TRUE(status == kErrSecCSSignatureFailed || status == kErrSecCSUnsigned) << "byte " << i << ": " << status;
    }
  }
  writeFileBytes(path, signedBytes, 0755);
  EXPECT_EQ(authority.check(path), kErrSecSuccess);
  // Bytes added after the signature hide it: the code no longer counts as signed.
  writeFileBytes(path, signedBytes + "appended", 0755);
  EXPECT_EQ(authority.check(path), kErrSecCSUnsigned);
  // An ad hoc signature is bound to the bytes as well.
  authority.sign(path, kIdentifier, kAdhoc);
  writeFileBytes(path, "S" + readFileBytes(path).substr(1), 0755);
  EXPECT_EQ(authority.check(path), kErrSecCSSignatureFailed);

  // Large files are hashed across chunk boundaries.
  std::string bytes(3 * 65536 + 17, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  path = program("large", bytes);
  authority.sign(path, kIdentifier, "TEAMONE");
  EXPECT_EQ(authority.check(path), kErrSecSuccess);
  for (std::size_t offset : {std::size_t{65535}, std::size_t{65536}, bytes.size() - 1}) {
    std::string changed = readFileBytes(path);
    changed[offset] = static_cast<char>(changed[offset] ^ 0x80);
    EXPECT_EQ(authority.check(program("large-" + std::to_string(offset), changed)), kErrSecCSSignatureFailed) << offset;
  }
}

TEST_F(CodeSigningFileTest, OnlyInjectedAnchorsVouchForATeamAndOnlyApplesClassIsApple) {
  using codesign::CertificateClass;
  authority.addAnchor("rogue", /*trusted=*/false);
  authority.addTeam("ROGUETEAM", "rogue");
  authority.addTeam("CLAIMTEAM", TestSigningAuthority::kTestAnchor, CertificateClass::appleSoftware);
  authority.addTeam("APPLETEAM", TestSigningAuthority::kAppleAnchor, CertificateClass::appleSoftware);
  authority.addTeam("APPLEDEV", TestSigningAuthority::kAppleAnchor);
  authority.addTeam("APPLEOLD", TestSigningAuthority::kAppleAnchor, std::nullopt);
  // A developer's certificate with its class turned into Apple's, the anchor's signature kept.
  TeamIdentity promoted = authority.team("APPLEDEV");
  promoted.certificate.certifies = CertificateClass::appleSoftware;
  // name, team, the team believed, whether `anchor apple` and `anchor apple generic` hold
  using Case = std::tuple<std::string, std::optional<TeamIdentity>, std::optional<std::string>, bool, bool>;
  for (const auto& [name, team, believedTeam, apple, generic] :
       std::vector<Case>{{"adhoc", std::nullopt, std::nullopt, false, false},
                         {"untrusted-anchor", authority.team("ROGUETEAM"), std::nullopt, false, false},
                         {"ours", authority.team("TEAMONE"), "TEAMONE", false, false},
                         {"ours-claiming-apple", authority.team("CLAIMTEAM"), "CLAIMTEAM", false, false},
                         {"apple", authority.team("APPLETEAM"), "APPLETEAM", true, true},
                         {"apple-developer", authority.team("APPLEDEV"), "APPLEDEV", false, true},
                         {"apple-classless", authority.team("APPLEOLD"), "APPLEOLD", false, true},
                         {"apple-developer-promoted", promoted, std::nullopt, false, false}}) {
    std::string path = program(name);
    signCode(path, SignOptions{kIdentifier, team, {}});
    // The signature itself is intact in every case; only a vouched-for team is believed.
    EXPECT_EQ(authority.check(path, "identifier \"com.ambergrove.Tidewarden\""), kErrSecSuccess) << name;
    EXPECT_EQ(authority.information(path).value().teamIdentifier, believedTeam) << name;
    EXPECT_EQ(authority.information(path).value().flags, team ? 0u : kSecCodeSignatureAdhoc) << name;
    EXPECT_EQ(authority.check(path, "anchor trusted"), believedTeam ? kErrSecSuccess : kErrSecCSReqFailed) << name;
    EXPECT_EQ(authority.check(path, "anchor apple"), apple ? kErrSecSuccess : kErrSecCSReqFailed) << name;
    EXPECT_EQ(authority.check(path, "anchor apple generic"), generic ? kErrSecSuccess : kErrSecCSReqFailed) << name;
    for (const std::string leaf : {"ROGUETEAM", "APPLETEAM", "TEAMONE"}) {
      EXPECT_EQ(authority.check(path, "certificate leaf[subject.OU] = \"" + leaf + "\""),
                believedTeam == leaf ? kErrSecSuccess : kErrSecCSReqFailed)
          << name << " " << leaf;
    }
  }
  // Without the apple anchor injected, even the genuine signature is not Apple's.
  authority.addAnchor(TestSigningAuthority::kAppleAnchor, /*trusted=*/false);
  EXPECT_EQ(authority.check(dir.path() + "/apple", "anchor apple"), kErrSecCSReqFailed);
}

TEST_F(CodeSigningFileTest, ASignatureCannotBorrowAnotherTeamsCertificate) {
  std::string path = program("tool");
  // The key of TEAMTWO with the certificate of TEAMONE is refused when signing...
  SignOptions mismatched{kIdentifier, TeamIdentity{authority.team("TEAMTWO").key, authority.team("TEAMONE").certificate},
                         {}};
  EXPECT_EQ(signingRefusal(path, mismatched), "The team key does not belong to the certificate of team TEAMONE.");
  EXPECT_EQ(readFileBytes(path), kProgram);

  // ...and a blob whose certificate was swapped afterwards fails verification.
  authority.sign(path, kIdentifier, "TEAMTWO");
  std::string bytes = readFileBytes(path);
  std::string ours = authority.team("TEAMTWO").certificate.encode();
  std::string theirs = authority.team("TEAMONE").certificate.encode();
  ASSERT_EQ(ours.size(), theirs.size());
  std::size_t at = bytes.find(ours);
  ASSERT_NE(at, std::string::npos);
  writeFileBytes(path, bytes.replace(at, ours.size(), theirs), 0755);
  EXPECT_EQ(authority.check(path), kErrSecCSSignatureFailed);
  EXPECT_EQ(authority.information(path).value().teamIdentifier, std::nullopt);
}

TEST_F(CodeSigningFileTest, RequirementLanguage) {
  CodeSigning signing(authority.options());
  std::shared_ptr<const CodeRequirement> requirement;
  for (const char* invalid :
       {"", "anchor", "anchor google", "identifier", "identifier com.ambergrove.Tidewarden", "identifier \"x",
        "identifier \"a\" and", "identifier \"a\" or or identifier \"b\"", "(anchor apple", "anchor apple)",
        "not anchor apple", "anchor generic", "anchor apple generic generic", "certificate leaf[subject.CN] = \"T\"",
        "certificate leaf[subject.OU] \"T\"", "certificate root[subject.OU] = \"T\"", "identifier \"a\\n\"",
        "identifier \"a\" && anchor apple", "info[CFBundleVersion] = \"1\""}) {
    requirement = CodeRequirement::parse("anchor apple");
    EXPECT_EQ(signing.createRequirementWithString(invalid, 0, requirement), kErrSecCSReqInvalid) << invalid;
    EXPECT_EQ(requirement, nullptr) << invalid;
  }
  std::string deep = std::string(40, '(') + "anchor apple" + std::string(40, ')');
  EXPECT_EQ(signing.createRequirementWithString(deep, 0, requirement), kErrSecCSReqInvalid);
  EXPECT_EQ(signing.createRequirementWithString("anchor apple", 1, requirement), kErrSecCSInvalidFlags);

  std::string path = program("tool");
  authority.sign(path, "id.with\"quote", "TEAMONE");
  for (const auto& [text, expected] : std::vector<std::pair<const char*, OSStatus>>{
           {"identifier \"id.with\\\"quote\"", kErrSecSuccess},
           {"certificate leaf[subject.OU] = \"TEAMONE\"", kErrSecSuccess},
           {"certificate leaf [ subject.OU ] = \"teamone\"", kErrSecCSReqFailed},
           // `and` binds tighter than `or`.
           {"anchor apple and identifier \"x\" or anchor trusted", kErrSecSuccess},
           {"anchor apple and (identifier \"x\" or anchor trusted)", kErrSecCSReqFailed},
           {"(anchor apple or identifier \"id.with\\\"quote\") and anchor trusted", kErrSecSuccess},
           {"identifier \"id.with\"", kErrSecCSReqFailed},
       }) {
    EXPECT_EQ(authority.check(path, text), expected) << text;
  }
}

TEST_F(CodeSigningFileTest, PathsAreWalkedUnderTheRootWithoutFollowingLinks) {
  ASSERT_EQ(::mkdir((dir.path() + "/Applications").c_str(), 0755), 0);
  authority.sign(program("Applications/tool"), kIdentifier, "TEAMONE");
  ASSERT_EQ(::symlink("tool", (dir.path() + "/Applications/link").c_str()), 0);
  ASSERT_EQ(::symlink("Applications", (dir.path() + "/Apps").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0644), 0);

  UniqueFd root(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root);
  CodeSigning signing(authority.options(&root));
  std::shared_ptr<const StaticCodeObject> code;
  ASSERT_EQ(signing.createStaticCodeWithPath("/Applications/tool", 0, code), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*code, 0, nullptr), kErrSecSuccess);
  std::optional<SigningInformation> info;
  ASSERT_EQ(signing.copySigningInformation(*code, kSecCSSigningInformation, info), kErrSecSuccess);
  EXPECT_EQ(info->mainExecutable, "/Applications/tool");

  for (const char* refused : {"/Applications/link", "/Apps/tool", "/Applications/missing", "Applications/tool",
                              "/Applications/../Applications/tool", "/Applications/./tool", "//Applications/tool",
                              "/fifo", ""}) {
    code = nullptr;
    EXPECT_EQ(signing.createStaticCodeWithPath(refused, 0, code), kErrSecCSStaticCodeNotFound) << refused;
    EXPECT_EQ(code, nullptr) << refused;
  }
  EXPECT_EQ(signing.createStaticCodeWithPath("/Applications/tool", 0x100, code), kErrSecCSInvalidFlags);
}

TEST_F(CodeSigningBundleTest, SignedBundleIsValidWithItsMainExecutable) {
  std::string bundle = makeBundle();
  authority.sign(bundle, kIdentifier, "TEAMONE");
  EXPECT_EQ(authority.check(bundle, {}, kStrict), kErrSecSuccess);
  EXPECT_EQ(authority.check(bundle + "/"), kErrSecSuccess);
  EXPECT_EQ(authority.information(bundle).value().mainExecutable, bundle + "/Contents/MacOS/App");
  EXPECT_EQ(describeCode(bundle).value().format, "bundle");
  // Contents, Info.plist, MacOS, App, Resources, data.bin, en.lproj, Strings.txt, Empty,
  // Current, Logs, run.log and the _CodeSignature folder (not the signature file).
  EXPECT_EQ(describeCode(bundle).value().sealedEntries, 13u);

  // Re-signing replaces the signature file; the old one is not sealed into the new one.
  authority.sign(bundle, "com.example.Renamed", kAdhoc);
  EXPECT_EQ(authority.check(bundle), kErrSecSuccess);
  EXPECT_EQ(authority.information(bundle).value().identifier, "com.example.Renamed");
  EXPECT_EQ(describeCode(bundle).value().sealedEntries, 13u);

  // A binary Info.plist names the main executable as well.
  writeFileBytes(bundle + "/Contents/Info.plist",
                 PropertyList::dictionary().set("CFBundleExecutable", PropertyList::string("App")).toBinary());
  authority.sign(bundle, kIdentifier, "TEAMONE");
  EXPECT_EQ(authority.check(bundle), kErrSecSuccess);
  EXPECT_EQ(authority.information(bundle).value().mainExecutable, bundle + "/Contents/MacOS/App");
}

TEST_F(CodeSigningBundleTest, EveryKindOfChangeIsABadResource) {
  enum class Change { write, remove, link, fifo };
  struct Case {
    Change change;
    std::string entry, bytes, detail;
  };
  std::string changedData(70000, 'd');
  changedData[65536] = 'e';  // one byte beyond the first read chunk
  const Case cases[] = {
      {Change::write, "Contents/Resources/extra.txt", "x", "file added: Contents/Resources/extra.txt"},
      {Change::remove, "Contents/Resources/data.bin", "", "sealed file missing: Contents/Resources/data.bin"},
      {Change::write, "Contents/Resources/data.bin", changedData, "file modified: Contents/Resources/data.bin"},
      {Change::write, "Contents/MacOS/App", "other", "file modified: Contents/MacOS/App"},
      {Change::write, "Contents/Info.plist", infoPlist(""), "file modified: Contents/Info.plist"},
      {Change::link, "Contents/Resources/Current", "en.lproj", "symbolic link modified: Contents/Resources/Current"},
      {Change::remove, "Contents/Resources/Empty", "", "sealed directory missing: Contents/Resources/Empty"},
      {Change::link, "Contents/Resources/en.lproj/Strings.txt", "/etc/passwd",
       "sealed file is now a symbolic link: Contents/Resources/en.lproj/Strings.txt"},
      {Change::write, "Contents/_CodeSignature/extra", "", "file added: Contents/_CodeSignature/extra"},
      {Change::write, "README", "", "file added: README"},
      {Change::fifo, "Contents/Resources/pipe", "",
       "Contents/Resources/pipe is not a regular file, directory or symbolic link"},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string bundle = makeBundle("App" + std::to_string(index++) + ".app"), path = bundle + "/" + c.entry;
    authority.sign(bundle, kIdentifier, "TEAMONE");
    ASSERT_EQ(authority.check(bundle), kErrSecSuccess) << c.detail;
    const bool replaced = c.change == Change::remove || c.change == Change::link;
    ASSERT_TRUE(!replaced || ::remove(path.c_str()) == 0) << c.detail;
    if (c.change == Change::write) writeFileBytes(path, c.bytes, c.entry.starts_with("Contents/MacOS") ? 0755 : 0644);
    ASSERT_TRUE(c.change != Change::link || ::symlink(c.bytes.c_str(), path.c_str()) == 0) << c.detail;
    ASSERT_TRUE(c.change != Change::fifo || ::mkfifo(path.c_str(), 0644) == 0) << c.detail;
    std::string description;
    EXPECT_EQ(authority.check(bundle, {}, 0, &description), kErrSecCSBadResource) << c.detail;
    EXPECT_EQ(description, "a sealed resource is missing or invalid: " + c.detail);
  }
}

TEST_F(CodeSigningBundleTest, SignatureFileTamperingAndRemoval) {
  std::string bundle = makeBundle();
  authority.sign(bundle, kIdentifier, "TEAMONE");
  std::string signaturePath = bundle + "/Contents/_CodeSignature/CodeSignature";
  std::string blob = readFileBytes(signaturePath);
  std::string changed = blob;
  changed[blob.size() / 2] ^= 0x04;
  writeFileBytes(signaturePath, changed);
  EXPECT_EQ(authority.check(bundle), kErrSecCSSignatureFailed);
  writeFileBytes(signaturePath, blob);
  EXPECT_EQ(authority.check(bundle), kErrSecSuccess);

  // A file signature moved into a bundle is refused as such.
  authority.sign(program("tool", "tool"), kIdentifier, "TEAMONE");
  std::string fileBytes = readFileBytes(dir.path() + "/tool");
  writeFileBytes(signaturePath, fileBytes.substr(4, fileBytes.size() - 4 - 16));
  std::string description;
  EXPECT_EQ(authority.check(bundle, {}, 0, &description), kErrSecCSSignatureFailed);
  EXPECT_EQ(description,
            "invalid signature (code or signature have been modified): the signature belongs to another kind of code");

  ASSERT_EQ(::unlink(signaturePath.c_str()), 0);
  EXPECT_EQ(authority.check(bundle), kErrSecCSUnsigned);
  EXPECT_EQ(authority.information(bundle).value().identifier, std::nullopt);
  EXPECT_EQ(authority.information(bundle).value().mainExecutable, bundle + "/Contents/MacOS/App");
}

TEST_F(CodeSigningBundleTest, OmitRulesFailStrictButPassRelaxedAndNeverUnsealInfoPlistOrMainExecutable) {
  std::string bundle = makeBundle();
  authority.sign(bundle, kIdentifier, "TEAMONE", {"Contents/Logs", "*.cache"});
  EXPECT_EQ(authority.check(bundle, {}, kStrict), kErrSecCSWeakResourceRules);
  EXPECT_EQ(authority.check(bundle, {}, kRelaxed), kErrSecSuccess);

  // Omitted paths may change freely under the relaxed check.
  writeFileBytes(bundle + "/Contents/Logs/run.log", "rotated\n");
  writeFileBytes(bundle + "/Contents/Logs/new.log", "new\n");
  writeFileBytes(bundle + "/Contents/Resources/index.cache", "cache");
  EXPECT_EQ(authority.check(bundle, {}, kRelaxed), kErrSecSuccess);
  // Sealed ones may not, and then the strict check reports the damage, not the rules.
  writeFileBytes(bundle + "/Contents/Resources/en.lproj/Strings.txt", "changed");
  EXPECT_EQ(authority.check(bundle, {}, kRelaxed), kErrSecCSBadResource);
  EXPECT_EQ(authority.check(bundle, {}, kStrict), kErrSecCSBadResource);

  // "*" still seals Contents, Info.plist, MacOS, App and _CodeSignature.
  int index = 0;
  for (const auto& [sealed, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"/Contents/MacOS/App", "replaced"}, {"/Contents/Info.plist", infoPlist("")}}) {
    std::string all = makeBundle("All" + std::to_string(index++) + ".app");
    authority.sign(all, kIdentifier, "TEAMONE", {"*"});
    EXPECT_EQ(describeCode(all).value().sealedEntries, 5u);
    writeFileBytes(all + "/Contents/Resources/data.bin", "unsealed");
    EXPECT_EQ(authority.check(all), kErrSecSuccess);
    writeFileBytes(all + sealed, bytes, 0755);
    EXPECT_EQ(authority.check(all), kErrSecCSBadResource) << sealed;
  }
}

TEST_F(CodeSigningBundleTest, SigningRefusesBadInputAndWritesNothing) {
  const std::string tool = program("tool"), link = dir.path() + "/link", flat = dir.path() + "/Flat.app";
  ASSERT_EQ(::symlink("tool", link.c_str()), 0);
  ASSERT_EQ(::mkdir(flat.c_str(), 0755), 0);
  const std::string garbled = makeBundle("Garbled.app"), missing = makeBundle("Missing.app");
  const std::string linked = makeBundle("Linked.app"), piped = makeBundle("Piped.app");
  writeFileBytes(garbled + "/Contents/Info.plist", "not a property list");
  writeFileBytes(missing + "/Contents/Info.plist", infoPlist("Missing"));
  writeFileBytes(linked + "/Contents/Info.plist", infoPlist("Missing"));
  ASSERT_EQ(::symlink("App", (linked + "/Contents/MacOS/Missing").c_str()), 0);
  ASSERT_EQ(::mkfifo((piped + "/Contents/Resources/pipe").c_str(), 0644), 0);
  const auto team = authority.team("TEAMONE");
  const auto cannot = [](const std::string& path, const char* why) { return "Cannot sign " + path + ": " + why; };
  const std::pair<std::pair<std::string, SignOptions>, std::string> cases[] = {
      {{tool, {"", team, {}}}, "The identifier \"\" must be 1 to 255 printable ASCII characters."},
      {{tool, {"with space", team, {}}}, "The identifier \"with space\" must be 1 to 255 printable ASCII characters."},
      {{tool, {kIdentifier, team, {"*.txt"}}}, cannot(tool, "omit patterns apply to bundles only.")},
      {{link, {kIdentifier, team, {}}}, "Cannot open " + link + ": Too many levels of symbolic links"},
      {{flat, {kIdentifier, team, {}}}, cannot(flat, "the bundle has no Contents directory.")},
      {{garbled, {kIdentifier, team, {}}}, cannot(garbled, "Contents/Info.plist is not a property-list dictionary.")},
      {{missing, {kIdentifier, team, {}}}, cannot(missing, "Contents/MacOS/Missing is not a regular file.")},
      {{linked, {kIdentifier, team, {}}}, cannot(linked, "Contents/MacOS/Missing is not a regular file.")},
      {{piped, {kIdentifier, team, {}}},
       "Cannot seal " + piped + ": Contents/Resources/pipe is not a regular file, directory or symbolic link."},
  };
  for (const auto& [input, refusal] : cases) {
    EXPECT_EQ(signingRefusal(input.first, input.second), refusal);
    EXPECT_NE(::access((input.first + "/Contents/_CodeSignature/CodeSignature").c_str(), F_OK), 0) << input.first;
  }
  EXPECT_EQ(readFileBytes(tool), kProgram);
  EXPECT_EQ(authority.check(flat), kErrSecCSBadBundleFormat);
  // The good call next to each refusal: a plain program, the pipe left out by an omit rule.
  EXPECT_EQ(signRefusal(tool), "(signed)");
  EXPECT_EQ(signRefusal(piped, {"Contents/Resources/pipe"}), "(signed)");

  // Without CFBundleExecutable a bundle has no main executable.
  std::string noExecutable = makeBundle("NoExecutable.app");
  writeFileBytes(noExecutable + "/Contents/Info.plist", infoPlist(""));
  EXPECT_EQ(signRefusal(noExecutable), "(signed)");
  EXPECT_EQ(authority.check(noExecutable), kErrSecSuccess);
  EXPECT_EQ(authority.information(noExecutable).value().mainExecutable, std::nullopt);
}

TEST_F(CodeSigningBundleTest, HostileInfoPlistIsRefusedWithinBounds) {
  // A bundle on disk is written by whoever could write there. Its Info.plist goes
  // through the bounded reader: a list nested 100000 deep overflowed libplist's
  // recursive reader, one of 40 arrays each holding the next twice asked it for 2^40 values.
  std::string bundle = makeBundle();
  CodeSigning signing(authority.options());
  for (const std::string& hostile : {testing::arrayChainPlist(100000), testing::arrayChainPlist(40, 2)}) {
    writeFileBytes(bundle + "/Contents/Info.plist", hostile);
    std::shared_ptr<const StaticCodeObject> code;
    ASSERT_EQ(signing.createStaticCodeWithPath(bundle, 0, code), kErrSecSuccess);
    std::optional<SigningInformation> information;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(signing.copySigningInformation(*code, 0, information), kErrSecCSInfoPlistFailed);
    EXPECT_EQ(signRefusal(bundle), "Cannot sign " + bundle + ": Contents/Info.plist is not a property-list dictionary.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(information);
  }
}

TEST_F(CodeSigningBundleTest, StaticCodeIsPinnedWhenCreatedAndCheckedFromSeveralThreadsAtOnce) {
  std::string bundle = makeBundle();
  const std::string file = bundle + "/Contents/MacOS/App";
  authority.sign(file, kIdentifier, "TEAMONE");
  authority.sign(bundle, kIdentifier, "TEAMONE");
  CodeSigning signing(authority.options());
  std::shared_ptr<const StaticCodeObject> bundleCode;
  std::shared_ptr<const StaticCodeObject> fileCode;
  ASSERT_EQ(signing.createStaticCodeWithPath(bundle, 0, bundleCode), kErrSecSuccess);
  ASSERT_EQ(signing.createStaticCodeWithPath(file, 0, fileCode), kErrSecSuccess);

  // Unsigned code now under the old names does not change what the objects check.
  ASSERT_EQ(::rename(bundle.c_str(), (dir.path() + "/Moved.app").c_str()), 0);
  makeBundle();
  EXPECT_EQ(authority.check(bundle), kErrSecCSUnsigned);
  EXPECT_EQ(authority.check(file), kErrSecCSUnsigned);

  // The pinned descriptors are shared: reads must not depend on a shared file offset.
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (signing.checkStaticValidity(*bundleCode, 0, nullptr) != kErrSecSuccess) ++failures;
        if (signing.checkStaticValidity(*fileCode, 0, nullptr) != kErrSecSuccess) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// Ten seconds ahead of the real clock: files the test just wrote count as settled.
std::timespec clockAhead() {
  std::timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  now.tv_sec += 10;
  return now;
}

class CodeSigningGuestTest : public CodeSigningFileTest {
 protected:
  // Starts `argv` and waits until the process runs argv[0].
  std::unique_ptr<RunningProgram> start(const std::vector<std::string>& argv) {
    auto child = std::make_unique<RunningProgram>(argv);
    EXPECT_TRUE(eventually([&] { return testing::programOf(child->pid()) == argv[0]; })) << argv[0];
    return child;
  }

  std::shared_ptr<const CodeObject> guest(pid_t pid) {
    std::shared_ptr<const CodeObject> code;
    EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, kSecCSDefaultFlags, code), kErrSecSuccess);
    return code;
  }

  std::optional<SigningInformation> information(const CodeSigning& signing, const CodeObject& code) {
    std::shared_ptr<const StaticCodeObject> staticCode;
    std::optional<SigningInformation> info;
    EXPECT_EQ(signing.copyStaticCode(code, kSecCSDefaultFlags, staticCode), kErrSecSuccess);
    if (staticCode) {
      EXPECT_EQ(signing.copySigningInformation(*staticCode, kSecCSSigningInformation, info), kErrSecSuccess);
    }
    return info;
  }

  CodeSigning signing{authority.options()};
};

TEST_F(CodeSigningGuestTest, GuestIsCheckedByTheBytesTheProcessRuns) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/sleeper", kIdentifier, "TEAMONE");
  std::unique_ptr<RunningProgram> child = start({path, "600"});
  std::shared_ptr<const CodeObject> code = guest(child->pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(signing, *code).value().teamIdentifier, "TEAMONE");
  EXPECT_EQ(information(signing, *code).value().mainExecutable, path);

  // The file on disk is replaced by a tampered copy after launch. The process still runs
  // the original inode, so its guest code stays valid, while the path now names code
  // whose signature fails.
  std::string bytes = readFileBytes(path);
  bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x10);
  writeFileBytes(dir.path() + "/replacement", bytes, 0755);
  ASSERT_EQ(::rename((dir.path() + "/replacement").c_str(), path.c_str()), 0);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  std::shared_ptr<const CodeObject> again = guest(child->pid());
  ASSERT_TRUE(again);
  EXPECT_EQ(signing.checkValidity(*again, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(signing, *again).value().mainExecutable, path + " (deleted)");
  EXPECT_EQ(authority.check(path), kErrSecCSSignatureFailed);

  // Once the process has ended (a zombie, then reaped) the guest is invalid.
  const pid_t pid = child->pid();
  std::shared_ptr<const CodeObject> none;
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0x40, none), kErrSecCSInvalidFlags);
  ::kill(pid, SIGKILL);
  siginfo_t ended;
  ASSERT_EQ(::waitid(P_PID, pid, &ended, WEXITED | WNOWAIT), 0);  // now a zombie, not yet reaped
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0, none), kErrSecCSNoSuchCode);
  ASSERT_TRUE(child->waitForExit(std::chrono::seconds(10)));
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0, none), kErrSecCSNoSuchCode);
  for (pid_t unknown : {0, -1}) EXPECT_EQ(signing.copyGuestWithProcessIdentifier(unknown, 0, none), kErrSecCSNoSuchCode);
  EXPECT_EQ(none, nullptr);
  // Its static code is still the pinned file, which stays valid as code.
  std::shared_ptr<const StaticCodeObject> pinned;
  ASSERT_EQ(signing.copyStaticCode(*code, 0, pinned), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*pinned, 0, nullptr), kErrSecSuccess);
}

TEST_F(CodeSigningGuestTest, GuestThatExecsAnotherFileIsInvalid) {
  std::string shell = authority.signedCopy("/bin/sh", dir.path() + "/shell", kIdentifier, "TEAMONE");
  std::string go = dir.path() + "/go";
  ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
  // Held open read-write so that neither side's open of the pipe blocks.
  UniqueFd goFd(::open(go.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(goFd);
  std::unique_ptr<RunningProgram> child = start({shell, "-c", "read line < " + go + "; exec /bin/sleep 600"});
  std::shared_ptr<const CodeObject> code = guest(child->pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecSuccess);

  ASSERT_EQ(::write(goFd.get(), "go\n", 3), 3);
  ASSERT_TRUE(eventually([&] { return testing::programOf(child->pid()).ends_with("/bin/sleep"); }));
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecCSGuestInvalid);
  // A fresh look sees the unsigned program it runs now.
  std::shared_ptr<const CodeObject> now = guest(child->pid());
  ASSERT_TRUE(now);
  EXPECT_EQ(signing.checkValidity(*now, 0, nullptr), kErrSecCSUnsigned);
}

TEST_F(CodeSigningGuestTest, SelfIsReadFromTheInjectedExecutable) {
  std::string path = authority.signedCopy("/bin/true", dir.path() + "/helper-copy",
                                          "com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE");
  CodeSigningOptions options = authority.options();
  options.selfExecutable = path;
  CodeSigning injected(options);
  std::shared_ptr<const CodeObject> self;
  ASSERT_EQ(injected.copySelf(kSecCSDefaultFlags, self), kErrSecSuccess);
  EXPECT_EQ(injected.checkValidity(*self, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(injected, *self).value().identifier, "com.ambergrove.Tidewarden.PrivilegedHelper");

  options.selfExecutable = dir.path() + "/missing";
  EXPECT_EQ(CodeSigning(options).copySelf(kSecCSDefaultFlags, self), kErrSecCSNoSuchCode);
  EXPECT_EQ(self, nullptr);
}

// A settled guest is hashed once and then known by its file identity, and an oversized one
// is never read (both through the real helper in the admission tests). Static code can be
// written while it is checked: it is never taken from that cache.
TEST_F(CodeSigningGuestTest, StaticCodeIsHashedEveryTimeEvenWhenItsGuestIsCached) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/sleeper", kIdentifier, "TEAMONE");
  std::unique_ptr<RunningProgram> child = start({path, "600"});
  CodeSigningOptions options = authority.options();
  options.wallClock = clockAhead;
  CodeSigning ahead(options);
  std::shared_ptr<const CodeObject> guestCode;
  ASSERT_EQ(ahead.copyGuestWithProcessIdentifier(child->pid(), 0, guestCode), kErrSecSuccess);
  EXPECT_EQ(ahead.checkValidity(*guestCode, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(ahead.checkValidity(*guestCode, 0, nullptr), kErrSecSuccess);
  const std::uint64_t signedRange = readFileBytes("/bin/sleep").size();  // signing appends to the program
  EXPECT_EQ(ahead.hashedBytes(), signedRange);
  std::shared_ptr<const StaticCodeObject> onDisk;
  ASSERT_EQ(ahead.createStaticCodeWithPath(path, 0, onDisk), kErrSecSuccess);
  for (int round = 1; round <= 2; ++round) {
    EXPECT_EQ(ahead.checkStaticValidity(*onDisk, 0, nullptr), kErrSecSuccess);
    EXPECT_EQ(ahead.hashedBytes(), (1 + round) * signedRange);
  }
}

// The mapping and tracer rules on hand-made /proc text, for the cases a test cannot
// produce with real files (system directories it must not write into).
class GuestProcessRuleTest : public ::testing::Test {
 protected:
  static struct stat file(dev_t device, ino_t inode, uid_t owner, mode_t mode) {
    struct stat st{};
    st.st_dev = device;
    st.st_ino = inode;
    st.st_uid = owner;
    st.st_mode = S_IFREG | mode;
    return st;
  }

  // Checks `maps`; `files` says what each map_files range holds (absent: unexaminable).
  std::string check(const std::string& maps) {
    asked.clear();
    codesign::Outcome outcome = codesign::checkExecutableMappings(maps, executable, [&](const std::string& range) {
      asked.push_back(range);
      auto found = files.find(range);
      return found == files.end() ? std::nullopt : std::optional<struct stat>(found->second);
    });
    if (outcome.ok()) return "admitted";
    EXPECT_EQ(outcome.status, kErrSecCSGuestInvalid);
    return outcome.detail;
  }

  struct stat executable = file(0xfe00, 100, 1000, 0755);
  std::map<std::string, struct stat> files = {
      {"400000-401000", executable},
      {"7f10-7f20", file(0xfe00, 200, 0, 0755)},
      {"7f30-7f40", file(0xfe00, 300, 1000, 0755)},
      {"7f50-7f60", file(0xfe00, 400, 0, 0775)},
      {"7f70-7f80", file(0xfe00, 500, 0, 0757)},
      {"7f90-7fa0", file(0x1, 600, 0, 0777)},
  };
  std::vector<std::string> asked;
};

TEST_F(GuestProcessRuleTest, CodeMayComeOnlyFromTheExecutableTheKernelAndRootsSystemLibraries) {
  const std::string genuine =
      "00400000-00401000 r-xp 00001000 fe:00 100                                /home/u/client (deleted)\n"
      "00401000-00402000 rw-p 00000000 00:00 0 \n"
      "7f00-7f10 r--p 00000000 fe:00 200                                        /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f10-7f20 r-xp 00001000 fe:00 200                                        /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f20-7f30 r-xp 00000000 00:00 0                                          [vdso]\n"
      "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]\n";
  EXPECT_EQ(check(genuine), "admitted");
  // Only executable file mappings are examined, under the names map_files uses.
  EXPECT_EQ(asked, (std::vector<std::string>{"400000-401000", "7f10-7f20"}));

  const std::pair<std::string, std::string> refused[] = {
      {"7f30-7f40 rwxp 00000000 00:00 0 ", "the process has anonymous executable memory"},
      {"7f30-7f40 r-xp 00000000 00:00 0   [anon:jit]", "the process maps code from [anon:jit]"},
      {"7f30-7f40 r-xp 00000000 fe:00 300   /home/u/libx.so",
       "the process maps code from /home/u/libx.so, outside the system library directories"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/local/lib/libx.so",
       "the process maps code from /usr/local/lib/libx.so, outside the system library directories"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/lib/../../home/u/libx.so",
       "the process maps code from /usr/lib/../../home/u/libx.so, outside the system library directories"},
      {"7f90-7fa0 r-xp 00000000 00:01 600   /memfd:x (deleted)",
       "the process maps code from a deleted file: /memfd:x (deleted)"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/lib/libc.so.6 (deleted)",
       "the process maps code from a deleted file: /usr/lib/libc.so.6 (deleted)"},
      {"7f30-7f40 r-xp 00000000 fe:00 300   /usr/lib/libx.so",
       "the process maps code from /usr/lib/libx.so, which is not a root-owned file only root can write"},
      {"7f50-7f60 r-xp 00000000 fe:00 400   /lib64/libx.so",
       "the process maps code from /lib64/libx.so, which is not a root-owned file only root can write"},
      {"7f70-7f80 r-xp 00000000 fe:00 500   /usr/lib64/libx.so",
       "the process maps code from /usr/lib64/libx.so, which is not a root-owned file only root can write"},
      {"7fb0-7fc0 r-xp 00000000 fe:00 700   /lib/libx.so",
       "the code the process maps from /lib/libx.so cannot be examined"},
      {"7fb0-7fc0 r-xp fe:00 700 /lib/libx.so", "the process memory map is malformed"},
  };
  for (const auto& [line, detail] : refused) EXPECT_EQ(check(genuine + line + "\n"), detail) << line;
}

TEST(GuestTracerRuleTest, ATracedProcessOrAnUnreadableStatusIsRefused) {
  EXPECT_TRUE(codesign::checkTracer("Name:\tclient\nState:\tS\nTracerPid:\t0\nUid:\t0\n").ok());
  const std::pair<const char*, const char*> refused[] = {
      {"Name:\tclient\nTracerPid:\t4242\n", "the process is traced by process 4242"},
      {"Name:\tclient\nUid:\t0\n", "the process status names no tracer field"},
      {"Name:\tx\nTracerPid:\t-1\n", "the process status has a malformed tracer field"}};
  for (const auto& [status, detail] : refused) {
    const codesign::Outcome outcome = codesign::checkTracer(status);
    EXPECT_EQ(outcome.status, kErrSecCSGuestInvalid) << status;
    EXPECT_EQ(outcome.detail, detail);
  }
}

// Exit code with standard output and error together. Omit rules and the strict check, which the
// tool only passes on, are the static code tests' matter.
std::pair<int, std::string> run(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TIDEWARDEN_CODESIGN_PATH);
  testing::ProgramResult result = testing::runProgram(arguments);
  return {result.exitCode, result.standardOutput + result.standardError};
}

TEST(CodeSigningToolTest, EveryCommandReportsItsOutcomeAndExitStatus) {
  TempDir dir;
  const std::string keys = dir.path() + "/keys", tool = dir.path() + "/tool";
  const std::string anchor = "test-anchor=" + keys + "/test-anchor.pub";
  writeFileBytes(tool, "program bytes", 0755);
  const std::string key = keys + "/TWTEST01.key", cert = keys + "/TWTEST01.cert";
  struct Step {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;  // the whole output, or its start when it ends in "..."
  };
  const Step steps[] = {
      {{"anchor", "--name", "test-anchor", "--out", keys}, 0, "..."},
      {{"team", "--anchor", keys + "/test-anchor.key", "--anchor-name", "test-anchor", "--team", "TWTEST01", "--out",
        keys}, 0, "..."},
      {{"anchor", "--name", "../escape", "--out", keys}, 2,
       "tidewarden-codesign anchor: The anchor name \"../escape\" must be 1 to 64 letters, digits, '.', '_' or '-'.\n..."},
      {{"sign", "--identifier", "com.example.tool", "--key", key, "--cert", cert, tool}, 0, ""},
      {{"verify", "--anchor", anchor, "--requirement", "anchor trusted and certificate leaf[subject.OU] = \"TWTEST01\"",
        tool},
       0, tool + ": valid\n"},
      {{"verify", "--requirement", "anchor trusted", tool}, 1,
       tool + ": invalid (status -67050: code failed to satisfy specified code requirement(s): the code does not satisfy "
              "\"anchor trusted\")\n"},
      {{"verify", "--requirement", "anchor everyone", tool}, 1,
       tool + ": requirement not accepted (status -67052: invalid or corrupted code requirement(s))\n"},
      {{"display", "--anchor", anchor, tool}, 0,
       "path: " + tool + "\nsigned: yes\nformat: file\nidentifier: com.example.tool\nflags: 0x0\n" +
           "team: TWTEST01 (trusted)\nanchor: test-anchor (trusted)\nclass: developer\n"},
      // Apple's own class, asked for by name, under an anchor called apple: the tool signed again.
      {{"team", "--anchor", keys + "/test-anchor.key", "--anchor-name", "apple", "--team", "TWAPPLE01", "--class",
        "apple", "--out", keys}, 0, "..."},
      {{"sign", "--identifier", "com.apple.tool", "--key", keys + "/TWAPPLE01.key", "--cert", keys + "/TWAPPLE01.cert",
        tool}, 0, ""},
      {{"verify", "--anchor", "apple=" + keys + "/test-anchor.pub", "--requirement", "anchor apple", tool}, 0,
       tool + ": valid\n"},
  };
  for (const Step& step : steps) {
    const auto [exitCode, output] = run(step.arguments);
    SCOPED_TRACE(step.arguments[0] + " " + step.arguments.back());
    EXPECT_EQ(exitCode, step.exitCode);
    if (step.output.ends_with("...")) {
      EXPECT_TRUE(output.starts_with(step.output.substr(0, step.output.size() - 3))) << output;
    } else {
      EXPECT_EQ(output, step.output);
    }
  }
  EXPECT_NE(::access((dir.path() + "/escape.key").c_str(), F_OK), 0);
  for (const char* key : {"/test-anchor.key", "/TWTEST01.key"}) {
    // Private keys are owner-only.
    EXPECT_EQ(std::filesystem::status(keys + key).permissions(), std::filesystem::perms(0600)) << key;
  }

  // The embedded anchor source is rewritten only when it changes (an unchanged one keeps the build quiet).
  const std::string source = dir.path() + "/anchor.cpp";
  auto embedAndStamp = [&] {
    EXPECT_EQ(run({"embed-anchor", "--name", "test-anchor", "--pub", keys + "/test-anchor.pub", "--out", source}).first,
              0);
    struct stat st {};
    EXPECT_EQ(::stat(source.c_str(), &st), 0);
    return std::pair(st.st_ino, st.st_mtim.tv_nsec);
  };
  const auto first = embedAndStamp();
  EXPECT_EQ(embedAndStamp(), first);
}

}  // namespace
}  // namespace tidewarden::platform
