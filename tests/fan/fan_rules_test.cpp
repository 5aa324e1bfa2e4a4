// The pure fan rules: inventory validity, boost floors, target and threshold validation with their exact messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fan/auto_max_threshold.h"
#include "fan/fan_boost_floors.h"
#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_target_validation.h"
#include "fan/fan_text.h"
#include "support/fan_refusal.h"

namespace tidewarden::fan {
namespace {

using testing::fanRefusalOf;

using Targets = std::map<std::int32_t, double>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

FanControlFan fan(std::int32_t id, double actual, double minimum, double maximum, double target = 0) {
  return FanControlFan{id, "Fan " + std::to_string(id + 1), actual, minimum, maximum, target, false};
}

const std::vector<FanControlFan> kTwoFans = {fan(0, 0, 0, 5000), fan(1, 3000, 1200, 6000)};

std::string validate(FanControlMode mode, const Targets& requested, const std::vector<FanControlFan>& fans) {
  return fanRefusalOf([&] { validateRequestedTargets(mode, requested, fans, computeBoostFloors(fans)); });
}

std::string rangeMessage(const std::string& id, const std::string& target, const std::string& lower,
                         const std::string& upper) {
  return "Fan " + id + ": requested " + target + " RPM; current boost-only range " + lower + "\u2013" + upper +
         " RPM. All targets were rejected before writes. Refresh the fan check and explicitly choose targets within "
         "the new ranges; no target is increased automatically.";
}

TEST(FanInventoryValidity, AcceptsOneToEightSaneFansAndNothingElse) {
  EXPECT_TRUE(isValidFanInventory(kTwoFans));
  std::vector<FanControlFan> eight;
  for (int id = 0; id < 8; ++id) eight.push_back(fan(7 - id, 0, 0, 600));  // any order, maximum exactly 600
  EXPECT_TRUE(isValidFanInventory(eight));
  EXPECT_TRUE(isValidFanInventory({fan(0, 20000, 0, 20000)}));

  EXPECT_FALSE(isValidFanInventory({}));
  std::vector<FanControlFan> nine = eight;
  nine.push_back(fan(0, 0, 0, 600));
  EXPECT_FALSE(isValidFanInventory(nine));

  const std::vector<std::vector<FanControlFan>> invalid = {
      {fan(0, 0, 0, 5000), fan(0, 0, 0, 5000)},  // duplicate id
      {fan(8, 0, 0, 5000)},
      {fan(-1, 0, 0, 5000)},
      {fan(0, 0, 1200, 1200)},
      {fan(0, 0, 0, 599)},
      {fan(0, 0, 0, 20001)},  // maximum
      {fan(0, -1, 0, 5000)},
      {fan(0, 20000.5, 0, 5000)},
      {fan(0, 0, -0.5, 5000)},
      {fan(0, kNaN, 0, 5000)},
      {fan(0, 0, 0, kInfinity)},
      {fan(0, 0, 0, 5000, kNaN)},  // every reading, target too
  };
  for (const auto& fans : invalid) {
    EXPECT_FALSE(isValidFanInventory(fans)) << fans[0].id << " " << fans[0].actualRPM << " " << fans[0].maximumRPM;
  }
}

TEST(FanBoostFloors, NeverBelowSpeedMinimumOr600AndNeverAboveTheMaximum) {
  const Targets floors = computeBoostFloors(
      {fan(0, 0, 0, 5000), fan(1, 3000, 1200, 6000), fan(2, 100, 1800, 5000), fan(3, 5500, 0, 5000)});
  EXPECT_EQ(floors, (Targets{{0, 600}, {1, 3000}, {2, 1800}, {3, 5000}}));

  // A reading that is not a number gives no floor to work with, not one guessed from the rest.
  const Targets unknown = computeBoostFloors({fan(0, kNaN, 0, 5000), fan(1, 0, 0, kInfinity)});
  EXPECT_TRUE(std::isnan(unknown.at(0)));
  EXPECT_TRUE(std::isnan(unknown.at(1)));
}

// Manual targets lie between each fan's boost floor and its maximum; the first failing
// fan in inventory order is reported by its raw id, and nothing is clamped. The request
// must name every fan and nothing more, before any range is looked at.
TEST(FanTargetValidation, ManualTargetsMustNameEveryFanAndLieBetweenTheFloorAndTheMaximum) {
  const std::string mismatch = "Review a target for every detected fan. Missing or extra fan identifiers are rejected.";
  const std::string unavailable = "Fan target or boost floor is unavailable. Check fans and review every target again.";
  const std::vector<FanControlFan> racing = {fan(0, 5500, 0, 5000)};  // floor above the maximum: capped
  struct Case {
    Targets requested;
    std::vector<FanControlFan> fans;
    std::optional<Targets> floors;  // the reference inventory's floors, else the fresh one's
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{0, 600}, {1, 3000}}, kTwoFans, {}, "(accepted)"},  // floor 600 for an idle fan
      {{{0, 599.999}, {1, 3000}}, kTwoFans, {}, rangeMessage("0", "599.999", "600.000", "5000.000")},
      {{{0, 2000}, {1, 2500}}, kTwoFans, {}, rangeMessage("1", "2500.000", "3000.000", "6000.000")},  // not slowed
      {{{0, 5000.001}, {1, 3000}}, kTwoFans, {}, rangeMessage("0", "5000.001", "600.000", "5000.000")},
      {{{0, 100}, {1, 100}}, kTwoFans, {}, rangeMessage("0", "100.000", "600.000", "5000.000")},
      {{{0, 5000}}, racing, {}, "(accepted)"},
      {{{0, 4999}}, racing, {}, rangeMessage("0", "4999.000", "5000.000", "5000.000")},
      // The floor of the reference inventory counts even when the fresh one has slowed down.
      {{{0, 2000}}, {fan(0, 800, 0, 5000)}, Targets{{0, 2500}}, rangeMessage("0", "2000.000", "2500.000", "5000.000")},
      {{{0, 2000}}, kTwoFans, {}, mismatch},
      {{{0, 2000}, {1, 100}, {8, 2000}}, kTwoFans, {}, mismatch},  // fan 1's 100 is never looked at
      {{{0, 2000}, {2, 3000}}, kTwoFans, {}, mismatch},
      {{{0, kNaN}, {1, 3000}}, kTwoFans, {}, unavailable},
      {{{0, 2000}, {1, 3000}}, kTwoFans, Targets{{0, 600}}, unavailable},
      {{{0, 2000}, {1, 3000}}, kTwoFans, Targets{{0, 600}, {1, kNaN}}, unavailable},
  };
  for (const Case& c : cases) {
    const Targets floors = c.floors.value_or(computeBoostFloors(c.fans));
    EXPECT_EQ(fanRefusalOf([&] {
                EXPECT_EQ(validateRequestedTargets(FanControlMode::manual, c.requested, c.fans, floors), c.requested);
              }),
              c.expected)
        << ::testing::PrintToString(c.requested);
  }
  // System has no targets to validate.
  EXPECT_EQ(validate(FanControlMode::system, {{0, 2000}, {1, 3000}}, kTwoFans), mismatch);
}

TEST(FanTargetValidation, MaxAndAutoMaxTakeEveryMaximumAndIgnoreTheDraft) {
  for (FanControlMode mode : {FanControlMode::maximum, FanControlMode::autoMax}) {
    EXPECT_EQ(validateRequestedTargets(mode, {}, kTwoFans, computeBoostFloors(kTwoFans)),
              (Targets{{0, 5000}, {1, 6000}}));
    EXPECT_EQ(validateRequestedTargets(mode, {{5, 1}}, kTwoFans, {}), (Targets{{0, 5000}, {1, 6000}}));
  }
}

TEST(FanTargetValidation, AnInventoryThatFailsTheRuleRefusesEveryMode) {
  const std::string unverified = "Fan count, limits or actual speeds could not be verified.";
  for (FanControlMode mode :
       {FanControlMode::manual, FanControlMode::maximum, FanControlMode::autoMax, FanControlMode::system}) {
    EXPECT_EQ(validate(mode, {}, {}), unverified);
    EXPECT_EQ(validate(mode, {{0, 2000}}, {fan(0, 0, 0, 599)}), unverified);
  }
}

TEST(AutoMaxThreshold, SixtyToNinetyInclusive) {
  const std::string refused = "Auto Max threshold must be 60\u201390\u00B0C.";
  for (double accepted : {60.0, 75.5, 90.0}) {
    EXPECT_EQ(fanRefusalOf([&] { validateAutoMaxThreshold(accepted); }), "(accepted)") << accepted;
  }
  for (double rejected : {59.999, 90.001, -400.0, kNaN, kInfinity}) {
    EXPECT_EQ(fanRefusalOf([&] { validateAutoMaxThreshold(rejected); }), refused) << rejected;
  }
}

TEST(FanText, DefaultDecimalsAndCharacterLimits) {
  EXPECT_EQ(formatDefaultDecimal(1200), "1200.0");
  EXPECT_EQ(formatDefaultDecimal(1201.5), "1201.5");
  EXPECT_EQ(formatDefaultDecimal(0.1), "0.1");
  EXPECT_EQ(formatDefaultDecimal(1e20), "1e+20");
  // Characters, not bytes: the en dash (three bytes) is never split; a stray byte counts as one.
  EXPECT_EQ(prefixCharacters("ab\u2013cd", 3), "ab\u2013");
  EXPECT_EQ(prefixCharacters("ab\u2013cd", 2), "ab");
  EXPECT_EQ(prefixCharacters("a\xE2z", 2), "a\xE2");
}

}  // namespace
}  // namespace tidewarden::fan
