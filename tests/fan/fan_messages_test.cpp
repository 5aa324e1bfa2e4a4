// Decoding of fan requests and the wire shape of fan replies.
#include <gtest/gtest.h>

#include "support/decode_failure.h"

#include <string>

#include "fan/fan_messages.h"

namespace tidewarden::fan {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

const nlohmann::json kApplyRequest = nlohmann::json::parse(R"({
  "action": "apply", "mode": "manual", "sessionID": "2B7D5C1E-8F4A-4C39-9E0B-6A1D3F2E5B70",
  "targets": {"0": 2400, "1": 2450.5}, "thermalSource": "either", "thresholdCelsius": 75.0,
  "acknowledged": true
})");

std::string decodeFailure(const nlohmann::json& document) {
  return testing::decodeFailure<FanControlRequest>(document.dump());
}

TEST(FanControlRequestDecoding, ARealisticApplyDecodesCompletelyButLeavesRangesAlone) {
  const FanControlRequest request = json::decodeDocument<FanControlRequest>(kApplyRequest.dump());
  EXPECT_EQ(json::encodeValue(request), kApplyRequest);
  EXPECT_EQ(request.thermalSource, FanThermalSource::either);
  EXPECT_EQ(request.targets, (std::map<std::int32_t, double>{{0, 2400.0}, {1, 2450.5}}));

  // Out-of-range values are the coordinator's to refuse with its own messages.
  nlohmann::json document = kApplyRequest;
  document["thresholdCelsius"] = -400;
  document["targets"] = {{"9", -1}};
  const FanControlRequest unchecked = json::decodeDocument<FanControlRequest>(document.dump());
  EXPECT_EQ(unchecked.thresholdCelsius, -400.0);
  EXPECT_EQ(unchecked.targets.at(9), -1.0);
}

TEST(FanControlRequestDecoding, EveryRequiredKeyIsRequiredEvenWhenTheModeIgnoresIt) {
  for (const char* key :
       {"action", "mode", "targets", "thermalSource", "thresholdCelsius", "acknowledged"}) {
    nlohmann::json document = kApplyRequest;
    document.erase(key);
    EXPECT_EQ(decodeFailure(document), kPrefix + "the key \"" + key + "\" is missing.");
  }
  nlohmann::json document = kApplyRequest;
  document["acknowledged"] = 1;
  EXPECT_EQ(decodeFailure(document),
            kPrefix + "the value of \"acknowledged\" has the wrong type (expected a boolean).");
}

TEST(FanControlReplyCoding, AFullReplyOmitsAbsentReadingsAndTheEarlyFailureCarriesTwoKeys) {
  const FanControlStatus status{
      .checkedAt = json::Date{786000000.25},
      .fans = {FanControlFan{1, "Fan 2", 2150.0, 1200.0, 5800.0, 2400.0, true}},
      .mode = FanControlMode::autoMax,
      .sessionID = "2B7D",
      .supported = true,
      .message = "Auto Max is active.",
      .cpuTemperature = 71.5,
      .boostFloors = std::map<std::int32_t, double>{{0, 2200.0}, {1, 2150.0}},
      .restorationPending = false,
  };
  EXPECT_EQ(json::encodeValue(FanControlReply({true, status, "Auto Max is active.", "report"})),
            nlohmann::json::parse(R"({"accepted": true, "message": "Auto Max is active.",
      "diagnostics": "report", "status": {"checkedAt": 786000000.25, "mode": "autoMax",
      "sessionID": "2B7D", "supported": true, "message": "Auto Max is active.",
      "cpuTemperature": 71.5, "boostFloors": {"0": 2200.0, "1": 2150.0},
      "restorationPending": false,
      "fans": [{"id": 1, "name": "Fan 2", "actualRPM": 2150.0, "minimumRPM": 1200.0,
                "maximumRPM": 5800.0, "targetRPM": 2400.0, "manual": true}]}})"));

  const FanControlReply refused{.accepted = false, .message = "Fan request is too large."};
  EXPECT_EQ(json::encode(json::encodeValue(refused)),
            R"({"accepted":false,"message":"Fan request is too large."})");
}

TEST(FanControlTypes, ModesHaveTheirDisplayNames) {
  EXPECT_EQ(displayName(FanControlMode::system), "System");
  EXPECT_EQ(displayName(FanControlMode::manual), "Manual Boost");
  EXPECT_EQ(displayName(FanControlMode::maximum), "Max");
  EXPECT_EQ(displayName(FanControlMode::autoMax), "Auto Max");
}

}  // namespace
}  // namespace tidewarden::fan
