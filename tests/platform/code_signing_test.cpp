// Static code: file and bundle signatures, tampering, trust anchors, requirements, omit rules, path walks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "platform/code_signing_requirement.h"
#include "platform/property_list.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::kAdhoc;
using testing::readFileBytes;
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

// A binary property list of `count` arrays in which array i holds array i+1 `fanOut`
// times; the last one is empty. Written by hand: no writer builds such lists.
std::string binaryArrayChain(std::uint32_t count, std::uint32_t fanOut) {
  auto bigEndian = [](std::string& out, std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
  };
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (std::uint32_t i = 0; i < count; ++i) {
    offsets.push_back(out.size());
    const std::uint32_t refs = i + 1 < count ? fanOut : 0;
    out.push_back(static_cast<char>(0xA0 | refs));
    for (std::uint32_t r = 0; r < refs; ++r) bigEndian(out, i + 1, 4);
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets) bigEndian(out, offset, 4);
  out.append(6, '\0');
  out += "\x04\x04";
  bigEndian(out, count, 8);
  bigEndian(out, 0, 8);
  bigEndian(out, table, 8);
  return out;
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
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

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

TEST_F(CodeSigningFileTest, OnlyInjectedAnchorsVouchForATeam) {
  authority.addAnchor("rogue", /*trusted=*/false);
  authority.addTeam("ROGUETEAM", "rogue");
  authority.addTeam("APPLETEAM", TestSigningAuthority::kAppleAnchor);
  using Case = std::tuple<std::string, std::optional<TeamIdentity>, std::optional<std::string>>;
  for (const auto& [name, team, believedTeam] :
       std::vector<Case>{{"adhoc", std::nullopt, std::nullopt},
                         {"untrusted-anchor", authority.team("ROGUETEAM"), std::nullopt},
                         {"ours", authority.team("TEAMONE"), "TEAMONE"},
                         {"apple", authority.team("APPLETEAM"), "APPLETEAM"}}) {
    std::string path = program(name);
    signCode(path, SignOptions{kIdentifier, team, {}});
    // The signature itself is intact in every case; only a vouched-for team is believed.
    EXPECT_EQ(authority.check(path, "identifier \"com.ambergrove.Tidewarden\""), kErrSecSuccess) << name;
    EXPECT_EQ(authority.information(path).value().teamIdentifier, believedTeam) << name;
    EXPECT_EQ(authority.information(path).value().flags, team ? 0u : kSecCodeSignatureAdhoc) << name;
    EXPECT_EQ(authority.check(path, "anchor trusted"), believedTeam ? kErrSecSuccess : kErrSecCSReqFailed) << name;
    EXPECT_EQ(authority.check(path, "anchor apple"), name == "apple" ? kErrSecSuccess : kErrSecCSReqFailed) << name;
    for (const std::string leaf : {"ROGUETEAM", "APPLETEAM", "TEAMONE"}) {
      EXPECT_EQ(authority.check(path, "certificate leaf[subject.OU] = \"" + leaf + "\""),
                believedTeam == leaf ? kErrSecSuccess : kErrSecCSReqFailed)
          << name << " " << leaf;
    }
  }
  // Without the apple anchor injected, even the genuine signature is not Apple's.
  CodeSigningOptions withoutApple = authority.options();
  std::erase_if(withoutApple.anchors, [](const TrustAnchor& anchor) { return anchor.name == "apple"; });
  CodeSigning signing(withoutApple);
  std::shared_ptr<const CodeRequirement> requirement;
  std::shared_ptr<const StaticCodeObject> code;
  ASSERT_EQ(signing.createRequirementWithString("anchor apple", 0, requirement), kErrSecSuccess);
  ASSERT_EQ(signing.createStaticCodeWithPath(dir.path() + "/apple", 0, code), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*code, 0, requirement.get()), kErrSecCSReqFailed);
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
        "not anchor apple", "anchor apple generic", "certificate leaf[subject.CN] = \"T\"",
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

TEST_F(CodeSigningFileTest, SigningRefusesBadInput) {
  std::string path = program("tool");
  ASSERT_EQ(::symlink("tool", (dir.path() + "/link").c_str()), 0);
  for (const char* identifier : {"", "with space"}) {
    EXPECT_EQ(signingRefusal(path, SignOptions{identifier, std::nullopt, {}}),
              std::string("The identifier \"") + identifier + "\" must be 1 to 255 printable ASCII characters.");
  }
  EXPECT_EQ(signingRefusal(path, SignOptions{kIdentifier, std::nullopt, {"*.txt"}}),
            "Cannot sign " + path + ": omit patterns apply to bundles only.");
  EXPECT_EQ(signingRefusal(dir.path() + "/link", SignOptions{kIdentifier, std::nullopt, {}}),
            "Cannot open " + dir.path() + "/link: Too many levels of symbolic links");
  EXPECT_EQ(readFileBytes(path), kProgram);
  EXPECT_EQ(signingRefusal(path, SignOptions{kIdentifier, std::nullopt, {}}), "(signed)");
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
  auto replaceWithLink = [](const std::string& path, const char* target) {
    ::unlink(path.c_str());
    ::symlink(target, path.c_str());
  };
  const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> changes = {
      {[](const std::string& b) { writeFileBytes(b + "/Contents/Resources/extra.txt", "x"); },
       "file added: Contents/Resources/extra.txt"},
      {[](const std::string& b) { ::unlink((b + "/Contents/Resources/data.bin").c_str()); },
       "sealed file missing: Contents/Resources/data.bin"},
      {[](const std::string& b) {  // one byte beyond the first read chunk
         std::string bytes = readFileBytes(b + "/Contents/Resources/data.bin");
         writeFileBytes(b + "/Contents/Resources/data.bin", bytes.replace(65536, 1, "e"));
       },
       "file modified: Contents/Resources/data.bin"},
      {[](const std::string& b) { writeFileBytes(b + "/Contents/MacOS/App", "other", 0755); },
       "file modified: Contents/MacOS/App"},
      {[](const std::string& b) { writeFileBytes(b + "/Contents/Info.plist", infoPlist("")); },
       "file modified: Contents/Info.plist"},
      {[&](const std::string& b) { replaceWithLink(b + "/Contents/Resources/Current", "en.lproj"); },
       "symbolic link modified: Contents/Resources/Current"},
      {[](const std::string& b) { ::rmdir((b + "/Contents/Resources/Empty").c_str()); },
       "sealed directory missing: Contents/Resources/Empty"},
      {[&](const std::string& b) { replaceWithLink(b + "/Contents/Resources/en.lproj/Strings.txt", "/etc/passwd"); },
       "sealed file is now a symbolic link: Contents/Resources/en.lproj/Strings.txt"},
      {[](const std::string& b) { writeFileBytes(b + "/Contents/_CodeSignature/extra", ""); },
       "file added: Contents/_CodeSignature/extra"},
      {[](const std::string& b) { writeFileBytes(b + "/README", ""); }, "file added: README"},
      {[](const std::string& b) { ::mkfifo((b + "/Contents/Resources/pipe").c_str(), 0644); },
       "Contents/Resources/pipe is not a regular file, directory or symbolic link"},
  };
  int index = 0;
  for (const auto& [apply, detail] : changes) {
    std::string bundle = makeBundle("App" + std::to_string(index++) + ".app");
    authority.sign(bundle, kIdentifier, "TEAMONE");
    ASSERT_EQ(authority.check(bundle), kErrSecSuccess) << detail;
    apply(bundle);
    std::string description;
    EXPECT_EQ(authority.check(bundle, {}, 0, &description), kErrSecCSBadResource) << detail;
    EXPECT_EQ(description, "a sealed resource is missing or invalid: " + detail);
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

TEST_F(CodeSigningBundleTest, SigningRefusesMalformedBundles) {
  std::string flat = dir.path() + "/Flat.app";
  ASSERT_EQ(::mkdir(flat.c_str(), 0755), 0);
  EXPECT_EQ(signRefusal(flat), "Cannot sign " + flat + ": the bundle has no Contents directory.");
  EXPECT_EQ(authority.check(flat), kErrSecCSBadBundleFormat);

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
    EXPECT_NE(::access((refused + "/Contents/_CodeSignature/CodeSignature").c_str(), F_OK), 0) << refused;
  }

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
  for (const std::string& hostile : {binaryArrayChain(100000, 1), binaryArrayChain(40, 2)}) {
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
  writeFileBytes(bundle + "/Contents/Info.plist",
                 PropertyList::dictionary().set("CFBundleExecutable", PropertyList::string("App")).toBinary());
  EXPECT_EQ(authority.information(bundle).value().mainExecutable, bundle + "/Contents/MacOS/App");
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

}  // namespace
}  // namespace tidewarden::platform
