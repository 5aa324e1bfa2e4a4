// tidewarden-codesign as a real program: anchors, teams, sign, verify, display and the embedded anchor source.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/code_signer.h"
#include "platform/code_signing_format.h"
#include "support/child_program.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::ProgramResult;
using testing::readFileBytes;
using testing::runProgram;
using testing::TempDir;
using testing::writeFileBytes;

ProgramResult codesign(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), TIDEWARDEN_CODESIGN_PATH);
  return runProgram(arguments);
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class CodeSigningToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keys = dir.path() + "/keys";
    ASSERT_EQ(codesign({"anchor", "--name", "test-anchor", "--out", keys}).exitCode, 0);
    ASSERT_EQ(codesign({"team", "--anchor", keys + "/test-anchor.key", "--anchor-name", "test-anchor", "--team",
                        "TWTEST01", "--out", keys})
                  .exitCode,
              0);
    anchorOption = "test-anchor=" + keys + "/test-anchor.pub";
  }

  std::string program(const std::string& name) {
    std::string path = dir.path() + "/" + name;
    writeFileBytes(path, "program bytes", 0755);
    return path;
  }

  ProgramResult signWithTeam(const std::string& path, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"sign", "--identifier", "com.example.tool", "--key", keys + "/TWTEST01.key",
                                          "--cert", keys + "/TWTEST01.cert"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back(path);
    return codesign(arguments);
  }

  TempDir dir;
  std::string keys;
  std::string anchorOption;
};

TEST_F(CodeSigningToolTest, AnchorAndTeamFiles) {
  EXPECT_EQ(modeOf(keys + "/test-anchor.key"), 0600u);
  EXPECT_EQ(modeOf(keys + "/TWTEST01.key"), 0600u);
  std::optional<SigningKey> anchor = SigningKey::fromPrivateKeyPem(readFileBytes(keys + "/test-anchor.key"));
  ASSERT_TRUE(anchor);
  EXPECT_EQ(publicKeyFromPem(readFileBytes(keys + "/test-anchor.pub")), anchor->publicKey());
  std::optional<codesign::TeamCertificate> certificate =
      codesign::TeamCertificate::decode(readFileBytes(keys + "/TWTEST01.cert"));
  ASSERT_TRUE(certificate);
  EXPECT_EQ(certificate->anchorName, "test-anchor");
  EXPECT_EQ(certificate->teamIdentifier, "TWTEST01");
  EXPECT_TRUE(codesign::verifyEd25519(anchor->publicKey(), certificate->signedPart(), certificate->anchorSignature));

  ProgramResult bad = codesign({"anchor", "--name", "../escape", "--out", keys});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.standardError.substr(0, bad.standardError.find('\n')),
            "tidewarden-codesign anchor: The anchor name \"../escape\" must be 1 to 64 letters, digits, '.', '_' or "
            "'-'.");
  EXPECT_NE(::access((dir.path() + "/escape.key").c_str(), F_OK), 0);
}

TEST_F(CodeSigningToolTest, SignVerifyAndDisplayAFile) {
  std::string path = program("tool");
  ProgramResult signedResult = signWithTeam(path);
  ASSERT_EQ(signedResult.exitCode, 0) << signedResult.standardError;

  ProgramResult valid = codesign({"verify", "--anchor", anchorOption, "--requirement",
                                  "anchor trusted and certificate leaf[subject.OU] = \"TWTEST01\"", path});
  EXPECT_EQ(valid.exitCode, 0);
  EXPECT_EQ(valid.standardError, path + ": valid\n");

  ProgramResult untrusted = codesign({"verify", "--requirement", "anchor trusted", path});
  EXPECT_EQ(untrusted.exitCode, 1);
  EXPECT_EQ(untrusted.standardError,
            path + ": invalid (status -67050: code failed to satisfy specified code requirement(s): the code does not "
                   "satisfy \"anchor trusted\")\n");

  ProgramResult badRequirement = codesign({"verify", "--requirement", "anchor everyone", path});
  EXPECT_EQ(badRequirement.exitCode, 1);
  EXPECT_EQ(badRequirement.standardError,
            path + ": requirement not accepted (status -67052: invalid or corrupted code requirement(s))\n");

  ProgramResult display = codesign({"display", "--anchor", anchorOption, path});
  EXPECT_EQ(display.exitCode, 0);
  EXPECT_EQ(display.standardOutput, "path: " + path +
                                        "\nsigned: yes\nformat: file\nidentifier: com.example.tool\nflags: 0x0\n"
                                        "team: TWTEST01 (trusted)\nanchor: test-anchor (trusted)\n");
  EXPECT_NE(codesign({"display", path}).standardOutput.find("team: TWTEST01 (not verified)\n"), std::string::npos);

  std::string bytes = readFileBytes(path);
  bytes[0] = 'P';
  writeFileBytes(path, bytes, 0755);
  ProgramResult tampered = codesign({"verify", "--anchor", anchorOption, path});
  EXPECT_EQ(tampered.exitCode, 1);
  EXPECT_EQ(tampered.standardError,
            path + ": invalid (status -67061: invalid signature (code or signature have been modified): the "
                   "executable's bytes were modified)\n");
}

TEST_F(CodeSigningToolTest, AdhocAndUnsigned) {
  std::string path = program("tool");
  ProgramResult unsignedDisplay = codesign({"display", path});
  EXPECT_EQ(unsignedDisplay.exitCode, 0);
  EXPECT_EQ(unsignedDisplay.standardOutput, "path: " + path + "\nsigned: no\n");
  ProgramResult unsignedVerify = codesign({"verify", path});
  EXPECT_EQ(unsignedVerify.exitCode, 1);
  EXPECT_EQ(unsignedVerify.standardError, path + ": invalid (status -67062: code object is not signed at all)\n");

  ASSERT_EQ(codesign({"sign", "--identifier", "com.example.adhoc", "--adhoc", path}).exitCode, 0);
  EXPECT_EQ(codesign({"verify", path}).exitCode, 0);
  EXPECT_EQ(codesign({"display", path}).standardOutput,
            "path: " + path + "\nsigned: yes\nformat: file\nidentifier: com.example.adhoc\nflags: 0x2 (adhoc)\n"
                              "team: none\nanchor: none\n");
}

TEST_F(CodeSigningToolTest, BundleOmitRulesAreWeakUnderStrict) {
  std::string bundle = dir.path() + "/Tool.app";
  for (const char* folder : {"", "/Contents", "/Contents/Logs"}) ASSERT_EQ(::mkdir((bundle + folder).c_str(), 0755), 0);
  writeFileBytes(bundle + "/Contents/Logs/a.log", "log");
  ASSERT_EQ(signWithTeam(bundle, {"--omit", "Contents/Logs/*"}).exitCode, 0);

  EXPECT_EQ(codesign({"verify", "--anchor", anchorOption, bundle}).exitCode, 0);
  ProgramResult strict = codesign({"verify", "--anchor", anchorOption, "--strict", bundle});
  EXPECT_EQ(strict.exitCode, 1);
  EXPECT_EQ(strict.standardError, bundle + ": invalid (status -67013: signature uses weak resource rules that leave "
                                           "files unsealed: the signature leaves files matching omit rules unsealed)\n");
  ProgramResult display = codesign({"display", bundle});
  EXPECT_NE(display.standardOutput.find("format: bundle\n"), std::string::npos) << display.standardOutput;
  EXPECT_NE(display.standardOutput.find("omit: Contents/Logs/*\n"), std::string::npos) << display.standardOutput;
}

TEST_F(CodeSigningToolTest, UsageAndOperationErrors) {
  std::string path = program("tool");
  ProgramResult both = codesign({"sign", "--identifier", "x", "--adhoc", "--key", keys + "/TWTEST01.key", path});
  EXPECT_EQ(both.exitCode, 2);
  EXPECT_EQ(both.standardError.substr(0, both.standardError.find('\n')),
            "tidewarden-codesign sign: give either --adhoc or both --key and --cert.");
  EXPECT_EQ(codesign({"sign", "--adhoc", path}).exitCode, 2);
  EXPECT_EQ(codesign({"frobnicate"}).exitCode, 2);
  EXPECT_EQ(codesign({}).exitCode, 2);
  EXPECT_EQ(readFileBytes(path), "program bytes");

  ProgramResult missing = codesign({"sign", "--identifier", "x", "--adhoc", dir.path() + "/missing"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.standardError,
            "tidewarden-codesign sign: Cannot open " + dir.path() + "/missing: No such file or directory\n");

  // A certificate whose key is not the one given is refused before anything is written.
  ASSERT_EQ(codesign({"team", "--anchor", keys + "/test-anchor.key", "--anchor-name", "test-anchor", "--team",
                      "TWOTHER", "--out", keys})
                .exitCode,
            0);
  ProgramResult mixed = codesign({"sign", "--identifier", "x", "--key", keys + "/TWOTHER.key", "--cert",
                                  keys + "/TWTEST01.cert", path});
  EXPECT_EQ(mixed.exitCode, 1);
  EXPECT_EQ(mixed.standardError,
            "tidewarden-codesign sign: The team key does not belong to the certificate of team TWTEST01.\n");
  EXPECT_EQ(readFileBytes(path), "program bytes");
}

TEST_F(CodeSigningToolTest, EmbedAnchorWritesTheSourceOnlyWhenItChanges) {
  std::string source = dir.path() + "/anchor.cpp";
  ASSERT_EQ(codesign({"embed-anchor", "--name", "test-anchor", "--pub", keys + "/test-anchor.pub", "--out", source})
                .exitCode,
            0);
  std::string text = readFileBytes(source);
  EXPECT_NE(text.find("#include \"platform/development_anchor.h\""), std::string::npos);
  EXPECT_NE(text.find("std::vector<TrustAnchor> developmentTrustAnchors() {"), std::string::npos);
  EXPECT_NE(text.find("TrustAnchor{\"test-anchor\""), std::string::npos);
  std::string key = *publicKeyFromPem(readFileBytes(keys + "/test-anchor.pub"));
  char first[8];
  std::snprintf(first, sizeof first, "0x%02x", static_cast<unsigned char>(key[0]));
  EXPECT_NE(text.find(std::string("{\n      ") + first + ", "), std::string::npos) << text;

  struct stat before;
  ASSERT_EQ(::stat(source.c_str(), &before), 0);
  ASSERT_EQ(codesign({"embed-anchor", "--name", "test-anchor", "--pub", keys + "/test-anchor.pub", "--out", source})
                .exitCode,
            0);
  struct stat after;
  ASSERT_EQ(::stat(source.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

}  // namespace
}  // namespace tidewarden::platform
