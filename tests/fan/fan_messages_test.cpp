// Decoding of fan requests and the wire shape of fan replies.
#include <gtest/gtest.h>

#include <string>

#include "fan/fan_control_error.h"
#include "fan/fan_control_reply.h"
#include "fan/fan_control_request.h"

namespace tidewarden::fan {
namespace {

namespace json = platform::json;

const std::string kPrefix = "The request could not be read: ";

const std::string kApplyRequest = R"({
  "action": "apply",
  "mode": "manual",
  "sessionID": "2B7D5C1E-8F4A-4C39-9E0B-6A1D3F2E5B70",
  "targets": {"0": 2400, "1": 2450.5},
  "thermalSource": "either",
  "thresholdCelsius": 75.0,
  "acknowledged": true,
  "clientBuild": "3.2-141"
})";

std::string decodeFailure(const std::string& document) {
  try {
    FanControlRequest::decode(document);
  } catch (const json::DecodeError& error) {
    return error.what();
  }
  ADD_FAILURE() << "decoded: " << document;
  return {};
}

// `document` with `key` set to `value` (a JSON literal), or removed when value is empty.
std::string edited(const std::string& document, const std::string& key, const std::string& value) {
  nlohmann::json object = nlohmann::json::parse(document);
  if (value.empty()) {
    object.erase(key);
  } else {
    object[key] = nlohmann::json::parse(value);
  }
  return object.dump();
}

TEST(FanControlRequestDecoding, ARealisticApplyDecodesEveryField) {
  const FanControlRequest request = FanControlRequest::decode(kApplyRequest);
  EXPECT_EQ(request.action, FanControlRequest::Action::apply);
  EXPECT_EQ(request.mode, FanControlMode::manual);
  EXPECT_EQ(request.sessionID, "2B7D5C1E-8F4A-4C39-9E0B-6A1D3F2E5B70");
  EXPECT_EQ(request.targets, (std::map<std::int32_t, double>{{0, 2400.0}, {1, 2450.5}}));
  EXPECT_EQ(request.thermalSource, FanThermalSource::either);
  EXPECT_EQ(request.thresholdCelsius, 75.0);
  EXPECT_TRUE(request.acknowledged);

  // An inspect without a session decodes; sessionID null is the same as absent.
  const FanControlRequest inspect = FanControlRequest::decode(
      R"({"action":"inspect","mode":"system","sessionID":null,"targets":{},)"
      R"("thermalSource":"cpu","thresholdCelsius":80,"acknowledged":false})");
  EXPECT_EQ(inspect.sessionID, std::nullopt);
  EXPECT_TRUE(inspect.targets.empty());
}

TEST(FanControlRequestDecoding, EveryRequiredKeyIsRequiredEvenWhenTheModeIgnoresIt) {
  for (const char* key :
       {"action", "mode", "targets", "thermalSource", "thresholdCelsius", "acknowledged"}) {
    EXPECT_EQ(decodeFailure(edited(kApplyRequest, key, "")),
              kPrefix + "the key \"" + key + "\" is missing.");
    EXPECT_EQ(decodeFailure(edited(kApplyRequest, key, "null")),
              kPrefix + "the key \"" + key + "\" is missing.");
  }
}

TEST(FanControlRequestDecoding, WrongShapesAndUnknownValuesAreRefused) {
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "mode", R"("turbo")")),
            kPrefix + "\"mode\" has an unknown value \"turbo\".");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "action", R"("Apply")")),
            kPrefix + "\"action\" has an unknown value \"Apply\".");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "thermalSource", R"("both")")),
            kPrefix + "\"thermalSource\" has an unknown value \"both\".");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "targets", "[2400, 2450]")),
            kPrefix + "the value of \"targets\" has the wrong type (expected an object).");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "targets", R"({"fan0": 2400})")),
            kPrefix + "the key \"fan0\" in \"targets\" is not a valid decimal identifier.");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "targets", R"({"0": "2400"})")),
            kPrefix + "the value of \"targets.0\" has the wrong type (expected a number).");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "acknowledged", "1")),
            kPrefix + "the value of \"acknowledged\" has the wrong type (expected a boolean).");
  EXPECT_EQ(decodeFailure(edited(kApplyRequest, "thresholdCelsius", R"("75")")),
            kPrefix + "the value of \"thresholdCelsius\" has the wrong type (expected a number).");
  EXPECT_EQ(decodeFailure(R"(["apply"])"),
            kPrefix + "the document has the wrong type (expected an object).");
}

TEST(FanControlRequestDecoding, RangesAreLeftToTheCoordinator) {
  // Out-of-range values are the coordinator's to refuse with its own messages.
  const FanControlRequest request = FanControlRequest::decode(
      edited(edited(kApplyRequest, "thresholdCelsius", "-400"), "targets", R"({"9": -1})"));
  EXPECT_EQ(request.thresholdCelsius, -400.0);
  EXPECT_EQ(request.targets.at(9), -1.0);
}

FanControlStatus sampleStatus() {
  return FanControlStatus{
      .checkedAt = json::Date{786000000.25},
      .fans = {FanControlFan{0, "Fan 1", 2200.0, 1200.0, 5600.0, 2400.0, true},
               FanControlFan{1, "Fan 2", 2150.0, 1200.0, 5800.0, 2400.0, true}},
      .mode = FanControlMode::autoMax,
      .sessionID = "2B7D5C1E-8F4A-4C39-9E0B-6A1D3F2E5B70",
      .supported = true,
      .message = "Auto Max is active.",
      .cpuTemperature = 71.5,
      .gpuTemperature = std::nullopt,
      .sessionExpiresAt = std::nullopt,
      .boostFloors = std::map<std::int32_t, double>{{0, 2200.0}, {1, 2150.0}},
      .restorationPending = false,
      .diagnostics = "report",
  };
}

TEST(FanControlReplyCoding, AFullReplyRoundTripsWithItsStatus) {
  const FanControlReply reply{true, sampleStatus(), "Auto Max is active.", "report"};
  const nlohmann::json object = reply.toJson();
  const nlohmann::json& status = object.at("status");
  EXPECT_EQ(status.at("mode"), "autoMax");
  EXPECT_EQ(status.at("boostFloors"), (nlohmann::json{{"0", 2200.0}, {"1", 2150.0}}));
  EXPECT_EQ(status.at("fans").at(1).at("name"), "Fan 2");
  EXPECT_EQ(status.at("fans").at(1).at("id"), 1);
  EXPECT_EQ(status.at("restorationPending"), false);
  EXPECT_FALSE(status.contains("gpuTemperature"));
  EXPECT_FALSE(status.contains("sessionExpiresAt"));

  const std::optional<std::string> text = json::encode(object);
  ASSERT_TRUE(text);
  EXPECT_EQ(FanControlReply::decode(*text), reply);
}

TEST(FanControlReplyCoding, TheEarlyFailureShapeCarriesOnlyAcceptedAndMessage) {
  const FanControlReply reply{.accepted = false, .message = "Fan request is too large."};
  EXPECT_EQ(json::encode(reply.toJson()),
            R"({"accepted":false,"message":"Fan request is too large."})");
}

TEST(FanControlReplyCoding, ANonFiniteReadingMakesTheReplyUnencodable) {
  FanControlStatus status = sampleStatus();
  status.cpuTemperature = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(json::encode(FanControlReply{true, status, "ok", std::nullopt}.toJson()), std::nullopt);
}

TEST(FanControlTypes, ErrorsCarryTheirSentenceAndModesTheirDisplayNames) {
  try {
    throw FanControlError::refused("Fan request is too large.");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Fan request is too large.");
  }
  EXPECT_EQ(displayName(FanControlMode::system), "System");
  EXPECT_EQ(displayName(FanControlMode::manual), "Manual Boost");
  EXPECT_EQ(displayName(FanControlMode::maximum), "Max");
  EXPECT_EQ(displayName(FanControlMode::autoMax), "Auto Max");
}

}  // namespace
}  // namespace tidewarden::fan
