// Single-file signatures: team, ad hoc, untrusted and impostor anchors, tampering, requirements, path walks.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fcntl.h>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "platform/code_signing_format.h"
#include "platform/code_signing_requirement.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::kAdhoc;
using testing::readFileBytes;
using testing::TempDir;
using testing::TestSigningAuthority;
using testing::writeFileBytes;

constexpr const char* kIdentifier = "com.ambergrove.Tidewarden";
const std::string kProgram = "\x7f" "ELF pretend program bytes\n" + std::string(300, 'x');

class CodeSigningFileTest : public ::testing::Test {
 protected:
  CodeSigningFileTest() { authority.addTeam("TEAMONE"); }

  std::string program(const std::string& name, const std::string& bytes = kProgram) {
    std::string path = dir.path() + "/" + name;
    writeFileBytes(path, bytes, 0755);
    return path;
  }

  std::shared_ptr<const StaticCodeObject> open(const CodeSigning& signing, const std::string& path) {
    std::shared_ptr<const StaticCodeObject> code;
    EXPECT_EQ(signing.createStaticCodeWithPath(path, kSecCSDefaultFlags, code), kErrSecSuccess) << path;
    return code;
  }

  OSStatus check(const std::string& path, const std::string& requirementText = {}, std::uint32_t flags = 0,
                 std::string* description = nullptr) {
    CodeSigning signing(authority.options());
    std::shared_ptr<const CodeRequirement> requirement;
    if (!requirementText.empty()) {
      EXPECT_EQ(signing.createRequirementWithString(requirementText, 0, requirement), kErrSecSuccess);
    }
    std::shared_ptr<const StaticCodeObject> code = open(signing, path);
    if (!code) return kErrSecCSInternalError;
    return signing.checkStaticValidity(*code, flags, requirement.get(), description);
  }

  std::optional<SigningInformation> information(const std::string& path, std::uint32_t flags = kSecCSSigningInformation) {
    CodeSigning signing(authority.options());
    std::shared_ptr<const StaticCodeObject> code = open(signing, path);
    std::optional<SigningInformation> info;
    EXPECT_EQ(signing.copySigningInformation(*code, flags, info), kErrSecSuccess);
    return info;
  }

  TempDir dir;
  TestSigningAuthority authority;
};

TEST_F(CodeSigningFileTest, TeamSignatureIsValidAndNamesItsTeam) {
  std::string path = program("tool");
  authority.signFile(path, kIdentifier, "TEAMONE");

  std::string description = "stale";
  EXPECT_EQ(check(path, {}, 0, &description), kErrSecSuccess);
  EXPECT_EQ(description, "");
  EXPECT_EQ(check(path, {}, kSecCSCheckAllArchitectures | kSecCSCheckNestedCode | kSecCSStrictValidate),
            kErrSecSuccess);
  // The signed range is exactly the original bytes; the mode is kept.
  EXPECT_EQ(readFileBytes(path).substr(0, kProgram.size()), kProgram);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  std::optional<SigningInformation> info = information(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, "TEAMONE");
  EXPECT_EQ(info->mainExecutable, path);
  EXPECT_EQ(info->flags, 0u);
  // Without the signing-information flag the team is not part of the answer.
  info = information(path, kSecCSDefaultFlags);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, std::nullopt);
}

TEST_F(CodeSigningFileTest, ResigningReplacesTheEarlierSignature) {
  std::string path = program("tool");
  authority.signFile(path, "first.identifier", kAdhoc);
  std::size_t adhocSize = readFileBytes(path).size();
  authority.signFile(path, kIdentifier, "TEAMONE");
  authority.signFile(path, kIdentifier, "TEAMONE");

  EXPECT_EQ(check(path), kErrSecSuccess);
  EXPECT_EQ(readFileBytes(path).substr(0, kProgram.size()), kProgram);
  std::optional<SignatureSummary> summary = describeCode(path);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->identifier, kIdentifier);
  // One signature only: the file is the program plus one team blob, not two blobs.
  authority.signFile(path, "first.identifier", kAdhoc);
  EXPECT_EQ(readFileBytes(path).size(), adhocSize);
}

TEST_F(CodeSigningFileTest, EveryChangedByteOfProgramSignatureOrTrailerFailsValidity) {
  std::string path = program("tool", std::string("short program ") + std::string(50, 'p'));
  authority.signFile(path, kIdentifier, "TEAMONE");
  const std::string signedBytes = readFileBytes(path);
  const std::size_t programSize = 64;
  ASSERT_EQ(check(path), kErrSecSuccess);

  for (std::size_t i = 0; i < signedBytes.size(); ++i) {
    std::string changed = signedBytes;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    writeFileBytes(path, changed, 0755);
    OSStatus status = check(path);
    if (i < programSize) {
      ASSERT_EQ(status, kErrSecCSSignatureFailed) << "program byte " << i;
    } else {
      // A changed trailer magic makes the file look unsigned; everything else fails.
      ASSERT_TRUE(status == kErrSecCSSignatureFailed || status == kErrSecCSUnsigned)
          << "signature byte " << i << " gave " << status;
    }
  }
  writeFileBytes(path, signedBytes, 0755);
  EXPECT_EQ(check(path), kErrSecSuccess);
  // Bytes added after the signature hide it: the code no longer counts as signed.
  writeFileBytes(path, signedBytes + "appended", 0755);
  EXPECT_EQ(check(path), kErrSecCSUnsigned);
}

TEST_F(CodeSigningFileTest, LargeFilesAreHashedAcrossChunkBoundaries) {
  std::string bytes(3 * 65536 + 17, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  std::string path = program("large", bytes);
  authority.signFile(path, kIdentifier, "TEAMONE");
  EXPECT_EQ(check(path), kErrSecSuccess);

  for (std::size_t offset : {std::size_t{65535}, std::size_t{65536}, bytes.size() - 1}) {
    std::string changed = readFileBytes(path);
    changed[offset] = static_cast<char>(changed[offset] ^ 0x80);
    std::string copy = program("large-" + std::to_string(offset), changed);
    EXPECT_EQ(check(copy), kErrSecCSSignatureFailed) << offset;
  }
}

TEST_F(CodeSigningFileTest, AdhocSignatureIsValidButHasNoTeam) {
  std::string path = program("tool");
  authority.signFile(path, kIdentifier, kAdhoc);

  EXPECT_EQ(check(path), kErrSecSuccess);
  std::optional<SigningInformation> info = information(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, std::nullopt);
  EXPECT_EQ(info->flags, kSecCodeSignatureAdhoc);
  EXPECT_EQ(check(path, "identifier \"com.ambergrove.Tidewarden\""), kErrSecSuccess);
  EXPECT_EQ(check(path, "anchor trusted"), kErrSecCSReqFailed);

  // Still bound to the bytes.
  std::string bytes = readFileBytes(path);
  bytes[3] = 'X';
  writeFileBytes(path, bytes, 0755);
  EXPECT_EQ(check(path), kErrSecCSSignatureFailed);
}

TEST_F(CodeSigningFileTest, UntrustedAnchorGivesNoTeamAndFailsAnchorRequirements) {
  authority.addAnchor("rogue", /*trusted=*/false);
  authority.addTeam("TEAMONE-ROGUE", "rogue");
  std::string path = program("tool");
  authority.signFile(path, kIdentifier, "TEAMONE-ROGUE");

  // The signature itself is intact; only its team is not believed.
  EXPECT_EQ(check(path), kErrSecSuccess);
  std::optional<SigningInformation> info = information(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, std::nullopt);
  EXPECT_EQ(check(path, "anchor trusted"), kErrSecCSReqFailed);
  EXPECT_EQ(check(path, "certificate leaf[subject.OU] = \"TEAMONE-ROGUE\""), kErrSecCSReqFailed);
  EXPECT_EQ(check(path, "identifier \"com.ambergrove.Tidewarden\""), kErrSecSuccess);
}

TEST_F(CodeSigningFileTest, AnchorAppleHoldsOnlyForTheInjectedAppleAnchor) {
  authority.addTeam("APPLETEAM", TestSigningAuthority::kAppleAnchor);
  std::string apple = program("apple-tool");
  authority.signFile(apple, "com.apple.tool", "APPLETEAM");
  std::string ours = program("our-tool");
  authority.signFile(ours, kIdentifier, "TEAMONE");

  EXPECT_EQ(check(apple, "anchor apple"), kErrSecSuccess);
  EXPECT_EQ(check(apple, "anchor apple and identifier \"com.apple.tool\""), kErrSecSuccess);
  EXPECT_EQ(check(ours, "anchor apple"), kErrSecCSReqFailed);
  EXPECT_EQ(check(ours, "anchor trusted"), kErrSecSuccess);

  // An impostor key that calls itself "apple" vouches for nothing.
  SigningKey impostor = SigningKey::generate();
  SigningKey teamKey = SigningKey::generate();
  SignOptions options{"com.apple.tool", TeamIdentity{teamKey, issueTeamCertificate(impostor, "apple", "APPLETEAM",
                                                                                    teamKey.publicKey())},
                      {}};
  std::string fake = program("fake-apple-tool");
  signCode(fake, options);
  EXPECT_EQ(check(fake), kErrSecSuccess);
  EXPECT_EQ(check(fake, "anchor apple"), kErrSecCSReqFailed);
  EXPECT_EQ(information(fake)->teamIdentifier, std::nullopt);

  // Without the apple anchor injected, even the genuine signature is not Apple's.
  std::vector<TrustAnchor> withoutApple;
  for (const TrustAnchor& anchor : authority.anchors()) {
    if (anchor.name != "apple") withoutApple.push_back(anchor);
  }
  CodeSigning signing(CodeSigningOptions{withoutApple});
  std::shared_ptr<const CodeRequirement> requirement;
  ASSERT_EQ(signing.createRequirementWithString("anchor apple", 0, requirement), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*open(signing, apple), 0, requirement.get()), kErrSecCSReqFailed);
}

TEST_F(CodeSigningFileTest, ASignatureCannotBorrowAnotherTeamsCertificate) {
  std::string path = program("tool");
  authority.addTeam("TEAMTWO");
  // The key of TEAMTWO with the certificate of TEAMONE is refused when signing...
  SignOptions mismatched{kIdentifier, TeamIdentity{authority.team("TEAMTWO").key, authority.team("TEAMONE").certificate},
                         {}};
  try {
    signCode(path, mismatched);
    FAIL() << "signed with a foreign certificate";
  } catch (const SigningError& error) {
    EXPECT_STREQ(error.what(), "The team key does not belong to the certificate of team TEAMONE.");
  }
  EXPECT_EQ(readFileBytes(path), kProgram);

  // ...and a blob whose certificate was swapped afterwards fails verification.
  authority.signFile(path, kIdentifier, "TEAMTWO");
  std::string bytes = readFileBytes(path);
  std::string ours = authority.team("TEAMTWO").certificate.encode();
  std::string theirs = authority.team("TEAMONE").certificate.encode();
  ASSERT_EQ(ours.size(), theirs.size());
  std::size_t at = bytes.find(ours);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, ours.size(), theirs);
  writeFileBytes(path, bytes, 0755);
  EXPECT_EQ(check(path), kErrSecCSSignatureFailed);
  EXPECT_EQ(information(path)->teamIdentifier, std::nullopt);
}

TEST_F(CodeSigningFileTest, UnsignedCodeFailsValidityButHasInformation) {
  std::string path = program("plain");
  std::string description;
  EXPECT_EQ(check(path, {}, 0, &description), kErrSecCSUnsigned);
  EXPECT_EQ(description, "code object is not signed at all");
  std::optional<SigningInformation> info = information(path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, std::nullopt);
  EXPECT_EQ(info->teamIdentifier, std::nullopt);
  EXPECT_EQ(info->mainExecutable, path);
  EXPECT_EQ(describeCode(path), std::nullopt);
  EXPECT_EQ(check(program("empty", "")), kErrSecCSUnsigned);
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
  authority.signFile(path, "id.with\"quote", "TEAMONE");
  struct Case {
    const char* text;
    OSStatus expected;
  };
  for (const Case& c : std::vector<Case>{
           {"identifier \"id.with\\\"quote\"", kErrSecSuccess},
           {"certificate leaf[subject.OU] = \"TEAMONE\"", kErrSecSuccess},
           {"certificate leaf [ subject.OU ] = \"teamone\"", kErrSecCSReqFailed},
           {"anchor trusted and certificate leaf[subject.OU] = \"TEAMONE\"", kErrSecSuccess},
           // `and` binds tighter than `or`.
           {"anchor apple and identifier \"x\" or anchor trusted", kErrSecSuccess},
           {"anchor apple and (identifier \"x\" or anchor trusted)", kErrSecCSReqFailed},
           {"(anchor apple or identifier \"id.with\\\"quote\") and anchor trusted", kErrSecSuccess},
           {"identifier \"id.with\"", kErrSecCSReqFailed},
       }) {
    EXPECT_EQ(check(path, c.text), c.expected) << c.text;
  }
  std::string description;
  EXPECT_EQ(check(path, "anchor apple", 0, &description), kErrSecCSReqFailed);
  EXPECT_EQ(description, "code failed to satisfy specified code requirement(s): the code does not satisfy \"anchor apple\"");
}

TEST_F(CodeSigningFileTest, PathsAreWalkedUnderTheRootWithoutFollowingLinks) {
  ASSERT_EQ(::mkdir((dir.path() + "/Applications").c_str(), 0755), 0);
  std::string path = program("Applications/tool");
  authority.signFile(path, kIdentifier, "TEAMONE");
  ASSERT_EQ(::symlink("tool", (dir.path() + "/Applications/link").c_str()), 0);
  ASSERT_EQ(::symlink("Applications", (dir.path() + "/Apps").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0644), 0);

  UniqueFd root(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root);
  CodeSigning signing(authority.options(&root));
  std::shared_ptr<const StaticCodeObject> code;
  EXPECT_EQ(signing.createStaticCodeWithPath("/Applications/tool", 0, code), kErrSecSuccess);
  ASSERT_TRUE(code);
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

TEST_F(CodeSigningFileTest, StaticCodeIsPinnedWhenCreated) {
  std::string path = program("tool");
  authority.signFile(path, kIdentifier, "TEAMONE");
  CodeSigning signing(authority.options());
  std::shared_ptr<const StaticCodeObject> code = open(signing, path);

  // Replacing the path afterwards does not change what the object checks.
  std::string other = program("other", "something else entirely");
  ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
  EXPECT_EQ(signing.checkStaticValidity(*code, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*open(signing, path), 0, nullptr), kErrSecCSUnsigned);
}

TEST_F(CodeSigningFileTest, ErrorMessagesAndFlags) {
  EXPECT_EQ(CodeSigning::errorMessage(kErrSecCSWeakResourceRules),
            "signature uses weak resource rules that leave files unsealed");
  EXPECT_EQ(CodeSigning::errorMessage(kErrSecCSSignatureFailed),
            "invalid signature (code or signature have been modified)");
  EXPECT_EQ(CodeSigning::errorMessage(-1), "");
  EXPECT_EQ(CodeSigning::errorMessage(-67000), "");

  std::string path = program("tool");
  authority.signFile(path, kIdentifier, "TEAMONE");
  EXPECT_EQ(check(path, {}, 4), kErrSecCSInvalidFlags);
  EXPECT_EQ(check(path, {}, 25), kErrSecSuccess);
}

TEST_F(CodeSigningFileTest, SigningRefusesBadInput) {
  std::string path = program("tool");
  auto refusal = [&](const std::string& target, const SignOptions& options) -> std::string {
    try {
      signCode(target, options);
    } catch (const SigningError& error) {
      return error.what();
    }
    return "(signed)";
  };
  EXPECT_EQ(refusal(path, SignOptions{"", std::nullopt, {}}),
            "The identifier \"\" must be 1 to 255 printable ASCII characters.");
  EXPECT_EQ(refusal(path, SignOptions{"with space", std::nullopt, {}}),
            "The identifier \"with space\" must be 1 to 255 printable ASCII characters.");
  EXPECT_EQ(refusal(path, SignOptions{kIdentifier, std::nullopt, {"*.txt"}}),
            "Cannot sign " + path + ": omit patterns apply to bundles only.");
  ASSERT_EQ(::symlink("tool", (dir.path() + "/link").c_str()), 0);
  EXPECT_EQ(refusal(dir.path() + "/link", SignOptions{kIdentifier, std::nullopt, {}}),
            "Cannot open " + dir.path() + "/link: Too many levels of symbolic links");
  EXPECT_EQ(readFileBytes(path), kProgram);
  EXPECT_EQ(refusal(path, SignOptions{kIdentifier, std::nullopt, {}}), "(signed)");

  SigningKey anchor = SigningKey::generate();
  EXPECT_THROW(issueTeamCertificate(anchor, "bad/name", "TEAM", anchor.publicKey()), SigningError);
  EXPECT_THROW(issueTeamCertificate(anchor, "anchor", "", anchor.publicKey()), SigningError);
  EXPECT_NO_THROW(issueTeamCertificate(anchor, "anchor", "TEAM", anchor.publicKey()));
}

TEST(CodeSigningKeys, PemRoundTripsAndRefusesOtherKeys) {
  SigningKey key = SigningKey::generate();
  std::optional<SigningKey> back = SigningKey::fromPrivateKeyPem(key.privateKeyPem());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->publicKey(), key.publicKey());
  EXPECT_EQ(publicKeyFromPem(key.publicKeyPem()), key.publicKey());
  EXPECT_EQ(key.publicKey().size(), 32u);
  EXPECT_EQ(SigningKey::fromPrivateKeyPem("garbage"), std::nullopt);
  EXPECT_EQ(SigningKey::fromPrivateKeyPem(key.publicKeyPem()), std::nullopt);
  EXPECT_EQ(publicKeyFromPem(key.privateKeyPem()), std::nullopt);

  std::string signature = key.sign("message");
  EXPECT_TRUE(codesign::verifyEd25519(key.publicKey(), "message", signature));
  EXPECT_FALSE(codesign::verifyEd25519(key.publicKey(), "messagE", signature));
  EXPECT_FALSE(codesign::verifyEd25519(SigningKey::generate().publicKey(), "message", signature));
}

}  // namespace
}  // namespace tidewarden::platform
