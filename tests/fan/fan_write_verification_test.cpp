// Single fan writes with bounded observation, on virtual time: acquisition, release, target verification and their
// edges.
#include "fan/fan_write_verification.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "fan/fan_control_error.h"
#include "support/fake_smc.h"
#include "support/fan_refusal.h"

namespace tidewarden::fan {
namespace {

using platform::SmcCallResult;
using platform::SmcParameterRecord;
using testing::FakeSmc;
using testing::fanRefusalOf;

// Uptime that moves only when slept on, or jumps to scripted values: each uptime()
// call takes the next scripted value when there is one.
class ScriptedClock final : public platform::Clock {
 public:
  double now() override { return 0; }
  double uptime() override {
    if (!script.empty()) {
      up = script.front();
      script.pop_front();
    }
    return up;
  }
  void sleepFor(double seconds) override {
    pauses.push_back(seconds);
    up += seconds;
  }
  double up = 1000;
  std::deque<double> script;
  std::vector<double> pauses;
};

const std::string kManual = "type=ui8 , value=1.000, bytes=[01]";
const std::string kAutomatic = "type=ui8 , value=0.000, bytes=[00]";

std::string writeLine(const std::string& key, const std::string& payload) {
  return "WRITE key=" + key + ", command=6, I/O=0, SMC result=0, SMC status=0, reply bytes=80, payload=[" + payload +
         "]";
}

class FanWriteVerificationTest : public ::testing::Test {
 protected:
  FanWriteVerificationTest() {
    smc.addFan(0, "flt ", 1800, 1200, 5700, 1800, 0);
    smc.addFan(1, "fpe2", 2000, 1200, 6000, 2000, 0);
    transport.emplace(smc);
  }

  FanWriteVerifier verifier() { return FanWriteVerifier(*transport, clock); }
  std::vector<std::string> events() const { return {transport->writeEvents().begin(), transport->writeEvents().end()}; }
  bool flagged(int fan) { return transport->modeWritesNeedingCancellation().contains(fan); }
  // The controller answers every write with SMC result `result` but keeps its registers,
  // or sets `key` to `settled` instead of what was written.
  void answerWrites(std::uint8_t result, const std::string& key = {}, std::optional<FakeSmc::Key> settled = {}) {
    smc.beforeAnswer = [=, this](const SmcParameterRecord& input) -> std::optional<SmcCallResult> {
      if (input[42] != 6) return std::nullopt;
      if (settled) smc.keys[key] = *settled;
      SmcCallResult answer{0, 80, {}};
      answer.output[40] = result;
      return answer;
    };
  }
  long linesStartingWith(const std::string& prefix) const {
    return std::ranges::count_if(events(), [&](const std::string& line) { return line.starts_with(prefix); });
  }
  // Every read of `key`, counted from 1, first runs `change` (at its key-info call, so
  // the change holds for the whole read).
  void onRead(const std::string& key, std::function<void(int)> change) {
    smc.beforeAnswer = [this, key, change,
                        count = 0](const SmcParameterRecord& input) mutable -> std::optional<SmcCallResult> {
      if (input[42] == 9 && smc.keyOf(smc.received.size() - 1) == key) change(++count);
      return std::nullopt;
    };
  }

  FakeSmc smc;
  ScriptedClock clock;
  std::optional<FanSMCTransport> transport;
};

TEST_F(FanWriteVerificationTest, AcquisitionWritesOnceAfterThePreWriteActionAndVerifiesOnTheFirstManualReading) {
  bool committed = false;
  verifier().writeFanMode(/*acquire=*/true, 0, /*touched=*/false, [&] {
    EXPECT_TRUE(smc.writtenKeys().empty());
    EXPECT_FALSE(flagged(0));
    committed = true;
  });
  EXPECT_TRUE(committed);
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Md"});
  EXPECT_TRUE(flagged(0));
  EXPECT_TRUE(clock.pauses.empty());
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "MODE REQUEST fan=1, key=F0Md, requested=1; before: " + kAutomatic,
                          writeLine("F0Md", "01"),
                          "MODE READBACK F0Md: " + kManual + "; sample=1, elapsed=0 ms",
                          "MODE VERIFIED F0Md=1; samples=1, elapsed=0 ms; mode writes in this observation=0",
                      }));
}

TEST_F(FanWriteVerificationTest, AcquisitionNeverTakesOverAFanThatIsNotAutomatic) {
  bool committed = false;
  const auto commit = [&] { committed = true; };
  smc.keys["F0Md"] = FakeSmc::ui8(1);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false, commit); }),
            "Fan 1 was already in manual mode before Tidewarden acquired it. No target was written.");
  smc.keys["F1Md"] = FakeSmc::ui8(2);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 1, false, commit); }),
            "Fan 2 changed to an unsupported mode before acquisition (F1Md: type=ui8 , value=2.000, bytes=[02]). "
            "No write was attempted.");
  smc.keys["F1Md"] = FakeSmc::flt(0);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 1, false, commit); }), "Unsupported fan mode format.");
  for (int index : {8, -1}) {
    EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, index, false, commit); }), "Invalid fan index.");
    EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(2000, index); }), "Invalid fan index.");
  }
  // A pre-write action that fails stops the write.
  smc.keys["F1Md"] = FakeSmc::ui8(0);
  EXPECT_EQ(fanRefusalOf([&] {
              verifier().writeFanMode(true, 1, false, [] { throw FanControlError::refused("Journal failed."); });
            }),
            "Journal failed.");

  EXPECT_FALSE(committed);
  EXPECT_TRUE(smc.writtenKeys().empty());
  EXPECT_FALSE(flagged(0) || flagged(1));
  // The same fan, automatic, is acquired.
  verifier().writeFanMode(true, 1, false, commit);
  EXPECT_TRUE(committed);
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F1Md"});
}

TEST_F(FanWriteVerificationTest, AnUnverifiedAcquisitionFailsAfterTheBudgetAndTheFanStaysFlagged) {
  answerWrites(0);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false); }),
            "Fan 1 mode verification failed: F0Md requested 1, last read back 0.0 after 21 observations (1000 ms). "
            "The mode was not confirmed within the bounded check. No target retry or controller bypass was "
            "attempted.");
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Md"});  // written once, never repeated
  ASSERT_EQ(clock.pauses.size(), 20u);
  for (double pause : clock.pauses) EXPECT_NEAR(pause, 0.05, 1e-9);
  EXPECT_EQ(events().back(),
            "MODE NOT CONFIRMED key=F0Md, expected=1, last=0.0, samples=21, elapsed=1000 ms; no repeated mode write, "
            "no target write");
  EXPECT_EQ(linesStartingWith("MODE READBACK"), 1);  // the value never changed
  EXPECT_TRUE(flagged(0));

  // The write may still have reached the controller, so a release later sends 0 even
  // though the fan reads automatic, and needs three automatic readings over 0.1 s.
  smc.beforeAnswer = nullptr;
  transport->clearWriteEvents();
  clock.pauses.clear();
  clock.script = {50.0, 50.0, 50.0, 50.04, 50.05, 50.09, 50.2};
  verifier().writeFanMode(/*acquire=*/false, 0, /*touched=*/false);
  EXPECT_EQ(smc.writtenKeys(), (std::vector<std::string>{"F0Md", "F0Md"}));
  EXPECT_FALSE(flagged(0));
  const std::vector<std::string> lines = events();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1],
            "SYSTEM CANCELLATION F0Md: sending 0 despite the first automatic reading because this fan has a recorded "
            "possibly-issued mode write.");
  EXPECT_EQ(lines[4], "MODE VERIFIED F0Md=0; samples=3, elapsed=200 ms; mode writes in this observation=0");
}

TEST_F(FanWriteVerificationTest, ReleaseOfAnUntouchedAutomaticFanWritesNothingAndARefusedOneKeepsTheFlag) {
  verifier().writeFanMode(false, 1, false);
  EXPECT_EQ(smc.received.size(), 2u);  // key info and read of F1Md
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "MODE REQUEST fan=2, key=F1Md, requested=0; before: " + kAutomatic,
                          "SYSTEM READBACK F1Md already automatic; no outstanding acquisition to cancel.",
                      }));
  // A touched fan is cancelled all the same.
  verifier().writeFanMode(false, 1, /*touched=*/true);
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F1Md"});

  verifier().writeFanMode(true, 0, false);
  answerWrites(0x85);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(false, 0, true); }),
            testing::controllerRefusal("key=F0Md, command=6, I/O=0, SMC result=133, SMC status=0, reply bytes=80"));
  EXPECT_TRUE(flagged(0));
}

TEST_F(FanWriteVerificationTest, ReleaseNeedsThreeConsecutiveAutomaticReadingsSpanningATenthOfASecond) {
  smc.keys["F0Md"] = FakeSmc::ui8(1);
  smc.keys["F1Md"] = FakeSmc::ui8(1);  // fan 2 stays manual throughout
  // Every call takes 10 ms, so a sample ends 70 ms after the one before.
  smc.clock = &clock;
  smc.secondsPerCall = 0.01;
  // The controller answers 0, then flickers back to 1 once, then settles at 0.
  const std::vector<std::uint8_t> readings = {0, 0, 1, 0, 0, 0, 0};
  onRead("F0Md", [&](int count) {
    if (count > 1) smc.keys["F0Md"] = FakeSmc::ui8(readings[std::min<std::size_t>(count - 2, readings.size() - 1)]);
  });
  verifier().writeFanMode(false, 0, /*touched=*/true);
  // After the flicker (sample 3) the run restarts at sample 4 and holds three readings
  // over 140 ms at sample 6.
  const std::vector<std::string> lines = events();
  EXPECT_EQ(lines.back().substr(0, lines.back().find(", elapsed")), "MODE VERIFIED F0Md=0; samples=6");
  EXPECT_EQ(linesStartingWith("MODE READBACK"), 3);  // first reading, the flicker, and back
  EXPECT_EQ(smc.keys["F1Md"].bytes, std::vector<std::uint8_t>{1});
}

TEST_F(FanWriteVerificationTest, AModeThatLeavesZeroAndOneOrAClockThatJumpsBackEndsTheStage) {
  smc.beforeAnswer = [this, count = 0](const SmcParameterRecord& input) mutable -> std::optional<SmcCallResult> {
    if (input[42] == 6) return SmcCallResult{0, 80, {}};
    if (input[42] == 5 && ++count == 3) smc.keys["F0Md"] = FakeSmc::ui8(2);
    return std::nullopt;
  };
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false); }),
            "Fan 1 mode format/value changed during observation (F0Md: type=ui8 , value=2.000, bytes=[02]). No "
            "alternative protocol was attempted.");

  smc.beforeAnswer = nullptr;
  smc.keys["F0Md"] = FakeSmc::ui8(0);
  const std::string changed = "Fan mode observation clock changed; no target was written.";
  clock.script = {10.0, 10.0, 9.99};  // start, t1, then t2 before t1
  EXPECT_EQ(fanRefusalOf([&] { verifier().observeFanMode(1, "F0Md", 0); }), changed);
  clock.script = {10.0, 10.0, std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(fanRefusalOf([&] { verifier().observeFanMode(1, "F0Md", 0); }), changed);
  clock.script = {std::numeric_limits<double>::infinity()};
  EXPECT_EQ(fanRefusalOf([&] { verifier().observeFanMode(1, "F0Md", 0); }),
            "Fan mode observation clock is unavailable.");
}

class FanTargetVerificationTest : public FanWriteVerificationTest {
 protected:
  // Both fans held in manual mode.
  FanTargetVerificationTest() {
    smc.keys["F0Md"] = FakeSmc::ui8(1);
    smc.keys["F1Md"] = FakeSmc::ui8(1);
  }
};

TEST_F(FanTargetVerificationTest, ATargetIsWrittenOnceInItsOwnEncodingAndVerifiedByThreeMatchesOverATenthOfASecond) {
  // Every call takes 10 ms, so a sample (mode, target, mode: six calls) takes 60 ms.
  smc.clock = &clock;
  smc.secondsPerCall = 0.01;
  clock.up = 0;
  verifier().writeFanTarget(1200, 1);
  EXPECT_EQ(smc.keys["F1Tg"].bytes, (std::vector<std::uint8_t>{0x12, 0xC0}));
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F1Tg"});
  const std::string before = "type=fpe2, value=2000.000, bytes=[1F 40]";
  const std::string after = "type=fpe2, value=1200.000, bytes=[12 C0]";
  EXPECT_EQ(events(),
            (std::vector<std::string>{
                "TARGET REQUEST fan=2, key=F1Tg, requested=1200.0 RPM; before: " + before + "; mode: " + kManual,
                writeLine("F1Tg", "12 C0"),
                "TARGET READBACK F1Tg: " + after + "; F1Md: " + kManual + "; sample=1, elapsed=70 ms",
                "TARGET VERIFIED F1Tg=1200.000 RPM, F1Md=1; samples=3, elapsed=290 ms; consecutive "
                "matches=3; target writes in this observation=0",
            }));

  // flt registers take four little-endian bytes.
  verifier().writeFanTarget(2400.5, 0);
  EXPECT_EQ(smc.keys["F0Tg"].bytes, FakeSmc::flt(2400.5).bytes);
}

TEST_F(FanTargetVerificationTest, MatchesAreWithinTwoRPMAndMustSpanATenthOfASecondWithinTheBudget) {
  // The controller settles its register 1.5 RPM above the request. Samples 1-3 within
  // 70 ms do not verify; sample 4, 120 ms after the first, does.
  answerWrites(0, "F0Tg", FakeSmc::flt(1201.5));
  clock.script = {10.0, 10.0, 10.01, 10.03, 10.04, 10.06, 10.08, 10.12, 10.13};
  verifier().writeFanTarget(1200, 0);
  EXPECT_EQ(events().back(),
            "TARGET VERIFIED F0Tg=1201.500 RPM, F0Md=1; samples=4, elapsed=130 ms; consecutive matches=4; target "
            "writes in this observation=0");

  // 2.5 RPM off never matches. The second sample ends 968.75 ms into the stage: one
  // shorter pause, one more sample, and the stage is over; nothing is written again.
  smc.received.clear();
  clock.pauses.clear();
  answerWrites(0, "F0Tg", FakeSmc::flt(1202.5));
  clock.script = {5.0, 5.0, 5.0, 5.5, 5.96875};
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1200, 0); }),
            "Fan 1 target verification failed: F0Tg requested 1200.000 RPM, read back 1202.500 RPM; F0Md read back "
            "1.0. Target type \"flt \". Target and manual mode did not remain confirmed within the bounded check (3 "
            "samples). Fan control was not confirmed. Copy Fan Control Report contains the raw readback.");
  EXPECT_EQ(clock.pauses, (std::vector<double>{0.05, 0.03125}));
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Tg"});
  EXPECT_EQ(events().back(),
            "TARGET NOT CONFIRMED key=F0Tg, requested=1200.0, last=1202.500, samples=3; no target rewrite or mode "
            "reacquisition");
}

TEST_F(FanTargetVerificationTest, LosingManualModeAroundTheTargetReadEndsTheStage) {
  const std::string lost = "Fan 1 lost confirmed manual mode during target observation (F0Md: " + kAutomatic +
                           "). No target rewrite or mode reacquisition was attempted.";
  // Flips to 0 between the target read and the second mode read of the first sample.
  onRead("F0Tg", [&](int count) {
    if (count == 2) smc.keys["F0Md"] = FakeSmc::ui8(0);
  });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }), lost);
  EXPECT_TRUE(events().back().starts_with("TARGET READBACK F0Tg: type=flt , value=1500.000"));
  EXPECT_TRUE(events().back().ends_with("; F0Md: " + kAutomatic + "; sample=1, elapsed=0 ms"));
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Tg"});  // no rewrite, no reacquisition

  // Flips before the target read of the second sample.
  smc.keys["F0Md"] = FakeSmc::ui8(1);
  smc.received.clear();
  transport->clearWriteEvents();
  onRead("F0Md", [&](int count) {
    if (count == 4) smc.keys["F0Md"] = FakeSmc::ui8(0);
  });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1600, 0); }), lost);
  EXPECT_EQ(events().back(), "TARGET OBSERVATION STOPPED F0Tg: F0Md before target read: " + kAutomatic + "; sample=2");
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Tg"});
}

TEST_F(FanTargetVerificationTest, NoTargetIsWrittenWithoutConfirmedManualModeOrInAnotherFormat) {
  smc.keys["F0Md"] = FakeSmc::ui8(0);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }),
            "Fan 1 target was not written because manual mode was not confirmed (F0Md: " + kAutomatic + ").");
  EXPECT_EQ(events().back(), "TARGET NOT WRITTEN: F0Md " + kAutomatic);
  smc.keys["F0Md"] = FakeSmc::ui8(1);

  smc.keys["F0Tg"] = {"flt ", {0x00, 0x00}};  // a flt register that claims two bytes
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }), "Fan target format changed.");
  smc.keys["F0Tg"] = FakeSmc::sp78(30);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }),
            "Fan target encoding is unsupported; no alternate write was attempted.");
  smc.keys["F0Tg"] = FakeSmc::flt(1800);
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(599, 0); }), "Invalid requested RPM.");
  clock.script = {std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }),
            "Fan target observation clock is unavailable. No target was written.");
  EXPECT_TRUE(smc.writtenKeys().empty());
  clock.up = 1000;

  verifier().writeFanTarget(1500, 0);
  EXPECT_EQ(smc.writtenKeys(), std::vector<std::string>{"F0Tg"});
}

TEST_F(FanTargetVerificationTest, ATargetRegisterThatChangesShapeOrAClockThatJumpsBackEndsTheStage) {
  const std::string changed = "Fan 1 target format/value changed during observation (F0Tg: ";
  const std::string tail = "). No alternate encoding or target rewrite was attempted.";
  const std::vector<std::pair<FakeSmc::Key, std::string>> shapes = {
      {FakeSmc::fpe2(1500), "type=fpe2, value=1500.000, bytes=[17 70]"},
      {FakeSmc::flt(20000.5), "type=flt , value=20000.500, bytes=[00 41 9C 46]"},
      {{"flt ", {0x00, 0x00, 0xC0, 0x7F}}, "type=flt , value=unreadable, bytes=[00 00 C0 7F]"},
  };
  for (const auto& [shape, description] : shapes) {
    onRead("F0Tg", [&, shape = shape](int count) {
      if (count == 3) smc.keys["F0Tg"] = shape;
    });
    EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }), changed + description + tail);
    smc.keys["F0Tg"] = FakeSmc::flt(1800);
  }

  smc.beforeAnswer = nullptr;
  const std::string clockChanged = "Fan target observation clock changed. The override must return to System.";
  clock.script = {10.0, 10.0, 10.1, 10.05};  // the second sample starts before the first ended
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(1500, 0); }), clockChanged);
}

}  // namespace
}  // namespace tidewarden::fan
