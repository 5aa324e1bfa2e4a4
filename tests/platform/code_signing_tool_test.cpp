// tidewarden-codesign as a real program: anchors, teams, sign, verify, display and the embedded anchor source.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::readFileBytes;
using testing::TempDir;
using testing::writeFileBytes;

// Exit code with standard output and error together (only their first line when `firstLine`).
std::pair<int, std::string> run(std::vector<std::string> arguments, bool firstLine = false) {
  arguments.insert(arguments.begin(), TIDEWARDEN_CODESIGN_PATH);
  testing::ProgramResult result = testing::runProgram(arguments);
  std::string text = result.standardOutput + result.standardError;
  return {result.exitCode, firstLine ? text.substr(0, text.find('\n')) : text};
}

class CodeSigningToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(run({"anchor", "--name", "test-anchor", "--out", keys}).first, 0);
    ASSERT_EQ(makeTeam("TWTEST01"), 0);
  }

  int makeTeam(const std::string& name) {
    return run({"team", "--anchor", keys + "/test-anchor.key", "--anchor-name", "test-anchor", "--team", name, "--out",
                keys})
        .first;
  }

  // A small program file; refusals must leave its bytes as they are.
  std::string program() {
    writeFileBytes(dir.path() + "/tool", "program bytes", 0755);
    return dir.path() + "/tool";
  }

  TempDir dir;
  std::string keys = dir.path() + "/keys";
  std::string anchorOption = "test-anchor=" + keys + "/test-anchor.pub";
  std::vector<std::string> teamSign = {"sign", "--identifier", "com.example.tool", "--key", keys + "/TWTEST01.key",
                                       "--cert", keys + "/TWTEST01.cert"};
};

TEST_F(CodeSigningToolTest, SignVerifyAndDisplayAFile) {
  std::string path = program();
  teamSign.push_back(path);
  ASSERT_EQ(run(teamSign).first, 0);
  EXPECT_EQ(run({"verify", "--anchor", anchorOption, "--requirement",
                 "anchor trusted and certificate leaf[subject.OU] = \"TWTEST01\"", path}),
            std::pair(0, path + ": valid\n"));
  EXPECT_EQ(run({"verify", "--requirement", "anchor trusted", path}),
            std::pair(1, path + ": invalid (status -67050: code failed to satisfy specified code requirement(s): the "
                                "code does not satisfy \"anchor trusted\")\n"));
  EXPECT_EQ(run({"verify", "--requirement", "anchor everyone", path}),
            std::pair(1, path + ": requirement not accepted (status -67052: invalid or corrupted code requirement(s))\n"));
  EXPECT_EQ(run({"display", "--anchor", anchorOption, path}),
            std::pair(0, "path: " + path + "\nsigned: yes\nformat: file\nidentifier: com.example.tool\nflags: 0x0\n" +
                             "team: TWTEST01 (trusted)\nanchor: test-anchor (trusted)\n"));
  EXPECT_NE(run({"display", path}).second.find("team: TWTEST01 (not verified)\n"), std::string::npos);

  writeFileBytes(path, "P" + readFileBytes(path).substr(1), 0755);
  EXPECT_EQ(run({"verify", "--anchor", anchorOption, path}),
            std::pair(1, path + ": invalid (status -67061: invalid signature (code or signature have been modified): "
                                "the executable's bytes were modified)\n"));
}

TEST_F(CodeSigningToolTest, UnsignedAdhocAndBundleWithOmitRules) {
  std::string path = program();
  EXPECT_EQ(run({"display", path}), std::pair(0, "path: " + path + "\nsigned: no\n"));
  EXPECT_EQ(run({"verify", path}), std::pair(1, path + ": invalid (status -67062: code object is not signed at all)\n"));
  ASSERT_EQ(run({"sign", "--identifier", "com.example.adhoc", "--adhoc", path}).first, 0);
  EXPECT_EQ(run({"verify", path}), std::pair(0, path + ": valid\n"));
  EXPECT_NE(run({"display", path}).second.find("flags: 0x2 (adhoc)\nteam: none\nanchor: none\n"), std::string::npos);

  std::string bundle = dir.path() + "/Tool.app";
  for (const char* folder : {"", "/Contents", "/Contents/Logs"}) ASSERT_EQ(::mkdir((bundle + folder).c_str(), 0755), 0);
  writeFileBytes(bundle + "/Contents/Logs/a.log", "log");
  teamSign.insert(teamSign.end(), {"--omit", "Contents/Logs/*", bundle});
  ASSERT_EQ(run(teamSign).first, 0);
  EXPECT_EQ(run({"verify", "--anchor", anchorOption, bundle}), std::pair(0, bundle + ": valid\n"));
  EXPECT_EQ(run({"verify", "--anchor", anchorOption, "--strict", bundle}),
            std::pair(1, bundle + ": invalid (status -67013: signature uses weak resource rules that leave files "
                                  "unsealed: the signature leaves files matching omit rules unsealed)\n"));
  EXPECT_NE(run({"display", bundle}).second.find("omit: Contents/Logs/*\n"), std::string::npos);
}

TEST_F(CodeSigningToolTest, PrivateKeysAreOwnerOnlyAndEveryRefusalIsReported) {
  for (const char* key : {"/test-anchor.key", "/TWTEST01.key"}) {
    struct stat st;
    ASSERT_EQ(::stat((keys + key).c_str(), &st), 0) << key;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << key;
  }
  EXPECT_EQ(run({"anchor", "--name", "../escape", "--out", keys}, true),
            std::pair(2, std::string("tidewarden-codesign anchor: The anchor name \"../escape\" must be 1 to 64 "
                                     "letters, digits, '.', '_' or '-'.")));
  EXPECT_NE(::access((dir.path() + "/escape.key").c_str(), F_OK), 0);

  std::string path = program();
  EXPECT_EQ(run({"sign", "--identifier", "x", "--adhoc", "--key", keys + "/TWTEST01.key", path}, true),
            std::pair(2, std::string("tidewarden-codesign sign: give either --adhoc or both --key and --cert.")));
  for (const auto& usage : std::vector<std::vector<std::string>>{{"sign", "--adhoc", path}, {"frobnicate"}, {}})
    EXPECT_EQ(run(usage).first, 2) << usage.size();
  EXPECT_EQ(run({"sign", "--identifier", "x", "--adhoc", dir.path() + "/missing"}),
            std::pair(1, "tidewarden-codesign sign: Cannot open " + dir.path() + "/missing: No such file or directory\n"));

  // A certificate whose key is not the one given is refused before anything is written.
  ASSERT_EQ(makeTeam("TWOTHER"), 0);
  EXPECT_EQ(run({"sign", "--identifier", "x", "--key", keys + "/TWOTHER.key", "--cert", keys + "/TWTEST01.cert", path}),
            std::pair(1, std::string("tidewarden-codesign sign: The team key does not belong to the certificate of "
                                     "team TWTEST01.\n")));
  EXPECT_EQ(readFileBytes(path), "program bytes");
}

TEST_F(CodeSigningToolTest, EmbedAnchorWritesTheSourceOnlyWhenItChanges) {
  std::string source = dir.path() + "/anchor.cpp";
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
