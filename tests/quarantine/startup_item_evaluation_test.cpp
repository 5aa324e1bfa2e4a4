// Startup item evaluation on a real file tree: refused locations, the label, the launch target,
// the related executable, signature classes, owners, script signals and the evidence score.
#include "quarantine/startup_item_evaluation.h"

#include <functional>
#include <optional>
#include <tuple>

#include <gtest/gtest.h>

#include "startup_item_fixture.h"

namespace tidewarden::quarantine {
namespace {

using testing::StartupItemFixture;
using Signer = StartupItemFixture::Signer;

constexpr const char* kUnsafe = "The requested repair includes a location Tidewarden is not allowed to modify.";
constexpr const char* kChanged =
    "The startup item changed since it was scanned. Tidewarden stopped the repair for safety.";
constexpr const char* kNotFound = "The program used by this startup item could not be found.";
constexpr const char* kInsufficient =
    "Tidewarden could not independently confirm enough warning signs to safely quarantine this item.";
const std::string kPlist = "/Library/LaunchDaemons/com.example.helper.plist";
const std::string kLabel = "com.example.helper";

// The text of the error `check` throws, or "" when it passed.
std::string refusalOf(const std::function<void()>& check) {
  try {
    check();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

class EvaluationTest : public ::testing::Test {
 protected:
  InspectedStartupItem evaluate(const std::string& label = kLabel, const std::string& plist = kPlist) {
    return evaluateStartupItem(mac.platform(), BackgroundQuarantineRequest{label, plist, {}});
  }
  std::string refusal(const std::string& label = kLabel, const std::string& plist = kPlist) {
    return refusalOf([&] { evaluate(label, plist); });
  }

  // What a script tells about the item.
  static auto facts(const InspectedStartupItem& item) {
    return std::tuple(item.relatedExecutable, item.scriptSignals, item.signature, item.userWritable, item.hiddenPath);
  }

  StartupItemFixture mac;
};

TEST_F(EvaluationTest, OnlyARegularPropertyListDirectlyInLaunchDaemonsIsRead) {
  mac.writeScript("/Users/Shared/run.sh", "exit 0\n");
  mac.writeDaemon(kPlist, kLabel, {"/Users/Shared/run.sh"});
  const std::string elsewhere[] = {"/Library/LaunchAgents/com.example.helper.plist",
                                   "/Users/avery/Library/LaunchDaemons/com.example.helper.plist"};
  for (const std::string& path : elsewhere) mac.writeDaemon(path, kLabel, {"/Users/Shared/run.sh"});
  mac.symlink(mac.host(kPlist), "/Library/LaunchDaemons/com.example.link.plist");
  mac.write("/Library/LaunchDaemons/com.example.helper.txt", mac.read(kPlist), 0644);
  for (const std::string& path : {elsewhere[0], elsewhere[1], std::string("/Library/LaunchDaemons/com.example.link.plist"),
                                  std::string("/Library/LaunchDaemons/com.example.helper.txt"),
                                  std::string("/Library/LaunchDaemons/absent.plist"),
                                  std::string("Library/LaunchDaemons/com.example.helper.plist")}) {
    EXPECT_EQ(refusal(kLabel, path), kUnsafe) << path;
  }

  // The real one, also spelled the long way round and with an upper-case extension.
  mac.write("/Library/LaunchDaemons/com.example.upper.PLIST", mac.read(kPlist), 0644);
  EXPECT_EQ(evaluate(kLabel, "/Library/LaunchDaemons/com.example.upper.PLIST").plistURL,
            "/Library/LaunchDaemons/com.example.upper.PLIST");
  const InspectedStartupItem item = evaluate(kLabel, "/Library//LaunchAgents/../LaunchDaemons/./com.example.helper.plist");
  EXPECT_EQ(std::tuple(item.plistURL, item.label, item.launchTarget), std::tuple(kPlist, kLabel, "/Users/Shared/run.sh"));
}

TEST_F(EvaluationTest, TheLabelMustBeExactlyTheScannedOneAndThePropertyListAList) {
  mac.writeScript("/Users/Shared/run.sh", "exit 0\n");
  mac.writeDaemon(kPlist, kLabel, {"/Users/Shared/run.sh"});
  EXPECT_EQ(refusal("com.example.helpe"), kChanged);
  EXPECT_EQ(refusal("com.example.helpeR"), kChanged);
  EXPECT_EQ(evaluate().label, kLabel);

  mac.write(kPlist, "<plist><array><string>com.example.helper</string></array></plist>", 0644);
  EXPECT_EQ(refusal(), kChanged);
  mac.write(kPlist, "not a property list", 0644);
  EXPECT_EQ(refusal(), "The property list " + kPlist + " could not be read: it is not a valid property list.");
}

TEST_F(EvaluationTest, LaunchTargetIsTheScriptAnInterpreterRunsOrTheProgramItself) {
  mac.writeScript("/Users/Shared/run.sh", "exit 0\n");
  mac.writeProgram("/usr/local/bin/tool", Signer::none, "");
  mac.symlink("/Users/Shared/run.sh", "/Users/Shared/link.sh");
  // ProgramArguments, Program, and the launch target or the refusal.
  const std::tuple<std::vector<std::string>, std::optional<std::string>, std::string> cases[] = {
      {{"/bin/sh", "-c", "/Users/Shared/absent.sh", "/Users/Shared/run.sh"}, {}, "/Users/Shared/run.sh"},
      // No argument names an existing absolute path: the interpreter is what runs.
      {{"/bin/sh", "run.sh", "/Users/Shared/absent.sh"}, {}, "/bin/sh"},
      // Not an interpreter: its arguments are not looked at.
      {{"/usr/local/bin/tool", "/Users/Shared/run.sh"}, {}, "/usr/local/bin/tool"},
      // Program wins over the argument list; the path is standardized.
      {{"/usr/local/bin/tool"}, "/Users/Shared/../Shared/run.sh", "/Users/Shared/run.sh"},
      // A relative program, or none at all; a launch target that is a link, or missing, is not followed.
      {{"run.sh"}, {}, kNotFound},
      {{}, {}, kNotFound},
      {{"/Users/Shared/link.sh"}, {}, kUnsafe},
      {{"/Users/Shared/absent"}, {}, kUnsafe},
  };
  for (const auto& [arguments, program, target] : cases) {
    mac.writeDaemon(kPlist, kLabel, arguments, program);
    EXPECT_EQ(target.starts_with("/") ? evaluate().launchTarget : refusal(), target) << target;
  }
}

TEST_F(EvaluationTest, ScriptsUpToTheLimitNameARelatedExecutableAndWarningSigns) {
  mac.writeProgram("/Users/Shared/.cache/agent", Signer::adhoc, "agent");
  mac.writeProgram("/Users/Shared/other", Signer::none, "");
  mac.symlink("/Users/Shared/other", "/Users/Shared/linked");
  // Single-quoted paths come before double-quoted ones; the script itself, missing
  // files and links are skipped.
  const std::string body =
      "P=\"/Users/Shared/other\"\n"
      "cp '/Users/Shared/run.sh' '/Users/Shared/absent' '/Users/Shared/linked' x\n"
      "exec '/Users/Shared/./.cache/agent'\n"
      "WHILE TRUE; do pgrep agent || launchctl bootstrap system x; sleep 5; done\n";
  mac.writeScript("/Users/Shared/run.sh", body);
  mac.writeDaemon(kPlist, kLabel, {"/bin/sh", "/Users/Shared/run.sh"});
  const std::vector<std::string> signals{"persistent retry loop", "launches additional code using launchctl",
                                         "checks for a process and relaunches it"};
  // The signature is the related executable's.
  EXPECT_EQ(facts(evaluate()), std::tuple("/Users/Shared/.cache/agent", signals, RepairSignatureKind::adhoc, true, true));

  // Exactly 65536 bytes are still read; one more and nothing is.
  std::string padded = "#!/bin/sh\n" + body;
  padded.resize(65536, '#');
  mac.write("/Users/Shared/run.sh", padded);
  EXPECT_EQ(facts(evaluate()), std::tuple("/Users/Shared/.cache/agent", signals, RepairSignatureKind::adhoc, true, true));
  padded.push_back('#');
  mac.write("/Users/Shared/run.sh", padded);
  // The signature is the script's own now.
  EXPECT_EQ(facts(evaluate()), std::tuple(std::nullopt, std::vector<std::string>{}, RepairSignatureKind::unsignedCode,
                                          true, false));

  // Text that is not UTF-8 is not searched either.
  mac.write("/Users/Shared/run.sh", "#!/bin/sh\nwhile true; do sleep 1; done # \xff\n");
  EXPECT_TRUE(evaluate().scriptSignals.empty());
}

TEST_F(EvaluationTest, SignatureClassesBelieveOnlyWhatVerifies) {
  const std::vector<std::tuple<Signer, std::string, RepairSignatureKind>> cases = {
      {Signer::apple, "com.apple.agent", RepairSignatureKind::apple},
      {Signer::developer, "com.example.agent", RepairSignatureKind::developerID},
      // A registered developer under Apple's anchor that names its code Apple's is still a developer.
      {Signer::developer, "com.apple.agent", RepairSignatureKind::developerID},
      {Signer::apple, "com.example.agent", RepairSignatureKind::developerID},
      {Signer::adhoc, "com.apple.agent", RepairSignatureKind::adhoc},
      {Signer::none, "", RepairSignatureKind::unsignedCode},
  };
  for (const auto& [signer, identifier, expected] : cases) {
    mac.writeProgram("/Users/Shared/agent", signer, identifier);
    EXPECT_EQ(signatureKind(mac.platform().codeSigning, "/Users/Shared/agent"), expected) << identifier;
  }
  // A team signature over other bytes (the program changed after signing).
  mac.writeProgram("/Users/Shared/agent", Signer::apple, "com.apple.agent");
  std::string bytes = mac.read("/Users/Shared/agent");
  bytes[2] ^= 1;
  mac.write("/Users/Shared/agent", bytes);
  EXPECT_EQ(signatureKind(mac.platform().codeSigning, "/Users/Shared/agent"), RepairSignatureKind::unknown);
}

TEST_F(EvaluationTest, OwnerAndLocationFlagsComeFromTheExaminedProgram) {
  mac.writeProgram("/private/tmp/agent", Signer::none, "");
  mac.chown("/private/tmp/agent", 501);
  mac.writeDaemon(kPlist, kLabel, {"/tmp/agent"});
  InspectedStartupItem item = evaluate();
  EXPECT_EQ(std::tuple(item.launchTarget, item.owner, item.userWritable, item.hiddenPath, item.appleLikeLabel),
            std::tuple("/tmp/agent", "avery", true, false, false));

  mac.chown("/private/tmp/agent", 777);  // no such account
  mac.writeDaemon(kPlist, "com.apple.agent", {"/tmp/agent"});
  item = evaluate("com.apple.agent");
  EXPECT_EQ(std::tuple(item.owner, item.appleLikeLabel), std::tuple(std::nullopt, true));

  mac.writeProgram("/Library/Application Support/.vendor/agent", Signer::developer, "com.example.agent");
  mac.writeDaemon(kPlist, kLabel, {"/Library/Application Support/.vendor/agent"});
  item = evaluate();
  EXPECT_EQ(std::tuple(item.owner, item.userWritable, item.hiddenPath), std::tuple("root", false, true));
}

InspectedStartupItem scored(bool userWritable, bool hidden, RepairSignatureKind signature,
                            std::optional<std::string> owner, std::size_t signals, bool appleLike = false) {
  return {.appleLikeLabel = appleLike, .userWritable = userWritable, .hiddenPath = hidden, .signature = signature,
          .owner = std::move(owner), .scriptSignals = std::vector<std::string>(signals, "persistent retry loop")};
}

TEST(EvidenceCheck, ScoreAndCountMustBothReachTheThreshold) {
  struct Case {
    InspectedStartupItem item;
    int score;
    int count;
    bool allowed;
  };
  using K = RepairSignatureKind;
  Case cases[] = {
      {scored(true, true, K::unsignedCode, "root", 1), 8, 4, true},
      {scored(true, true, K::unsignedCode, "root", 0), 7, 3, false},
      {scored(true, false, K::developerID, "avery", 0), 5, 2, false},
      {scored(true, false, K::adhoc, "root", 0, /*appleLike=*/true), 10, 3, true},
      // At most three points from script signals, one kind of sign.
      {scored(true, true, K::apple, "root", 5, /*appleLike=*/false), 8, 3, true},
      // Enough score from too few kinds of sign.
      {scored(false, false, K::unknown, "wheel", 3, /*appleLike=*/true), 8, 2, false},
      {scored(false, true, K::unknown, "avery", 2, /*appleLike=*/true), 9, 4, true},
      {scored(false, false, K::apple, std::nullopt, 0, /*appleLike=*/true), 0, 0, false},
  };
  for (const Case& c : cases) {
    const EvidenceScore evidence = evidenceScore(c.item);
    EXPECT_EQ(std::tuple(evidence.score, evidence.count, refusalOf([&] { checkEvidence(c.item); })),
              std::tuple(c.score, c.count, c.allowed ? "" : kInsufficient));
  }
}

}  // namespace
}  // namespace tidewarden::quarantine
