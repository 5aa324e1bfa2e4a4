// The controller transport: the record layout, the write allowlist, refusals, encodings, inventory, sensors, the event
// log.
#include "fan/fan_smc_transport.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "fan/fan_control_error.h"
#include "support/fake_smc.h"
#include "support/fan_refusal.h"

namespace tidewarden::fan {
namespace {

using testing::controllerRefusal;
using testing::fanRefusalOf;

using platform::SmcCallResult;
using platform::SmcParameterRecord;
using testing::FakeSmc;
using Bytes = std::vector<std::uint8_t>;

// A transport on two fans with Intel-style fpe2 registers and a CPU sensor at 47.5 °C.
class FanSMCTransportTest : public ::testing::Test {
 protected:
  FanSMCTransportTest() {
    smc.addFan(0, "fpe2", 2150, 1200, 5800, 2400, 0);
    smc.addFan(1, "fpe2", 1999.75, 1200, 6000, 2000, 1);
    smc.keys["TC0P"] = FakeSmc::sp78(47.5);
  }
  std::vector<std::string> events() const { return {transport.writeEvents().begin(), transport.writeEvents().end()}; }

  FakeSmc smc;
  FanSMCTransport transport{smc};
};

TEST_F(FanSMCTransportTest, ReportsAMissingOrRefusingControllerInItsOwnWords) {
  using Status = platform::SmcClient::OpenStatus;
  for (const auto& [status, message] : std::vector<std::pair<Status, std::string>>{
           {Status::serviceUnavailable, "AppleSMC is unavailable."},
           {Status::accessDenied, "Native fan-control access was denied."}}) {
    smc.openStatus = status;
    EXPECT_EQ(fanRefusalOf([&] { FanSMCTransport opened(smc); }), message);
  }
}

TEST_F(FanSMCTransportTest, ReadsAndWritesUseTheExactEightyByteLayout) {
  const FanSMCTransport::Value value = transport.readValue("F0Tg");
  EXPECT_EQ(value.type, "fpe2");
  EXPECT_EQ(value.bytes, (Bytes{0x25, 0x80}));  // 2400 * 4 = 0x2580
  EXPECT_EQ(value.attributes, 0xD4);
  transport.writeValue("F0Tg", Bytes{0x12, 0xC0});
  ASSERT_EQ(smc.received.size(), 3u);

  // Key "F0Tg" packed first character most significant, stored little-endian.
  SmcParameterRecord info{};
  info[0] = 0x67, info[1] = 0x54, info[2] = 0x30, info[3] = 0x46;
  info[42] = 9;
  EXPECT_EQ(smc.received[0], info);
  SmcParameterRecord read = info;
  read[28] = 2;  // data size
  read[42] = 5;
  EXPECT_EQ(smc.received[1], read);
  SmcParameterRecord write = read;
  write[42] = 6;
  write[48] = 0x12, write[49] = 0xC0;
  EXPECT_EQ(smc.received[2], write);
  EXPECT_EQ(smc.keys["F0Tg"].bytes, (Bytes{0x12, 0xC0}));

  EXPECT_EQ(events(),
            std::vector<std::string>{
                "WRITE key=F0Tg, command=6, I/O=0, SMC result=0, SMC status=0, reply bytes=80, payload=[12 C0]"});
}

TEST_F(FanSMCTransportTest, OnlyFanModeAndTargetKeysCanBeWrittenAndNothingIsSentOtherwise) {
  smc.keys["F7Md"] = FakeSmc::ui8(0);

  const std::string fanOnly = "A fan-only write was refused.";
  for (const char* key : {"F8Tg", "F0Mn", "FNum", "F0Ac", "f0Tg", "F0md", "FXTg", "F0TG"}) {
    EXPECT_EQ(fanRefusalOf([&] { transport.writeValue(key, Bytes{1}); }), fanOnly) << key;
  }
  // Right key, wrong shape.
  EXPECT_EQ(fanRefusalOf([&] { transport.writeValue("F0Md", Bytes{}); }), fanOnly);
  EXPECT_EQ(fanRefusalOf([&] { transport.callSMC("F0Md", 6, 2, Bytes{1}, true); }), fanOnly);

  const std::string invalid = "Invalid native fan request.";
  for (const std::string key : {"F0M", "F0Md ", "F0\037d", "F0M\177"}) {
    EXPECT_EQ(fanRefusalOf([&] { transport.readValue(key); }), invalid) << key;
  }
  EXPECT_EQ(fanRefusalOf([&] { transport.writeValue("F\037Md", Bytes{1}); }), invalid);
  EXPECT_EQ(fanRefusalOf([&] { transport.callSMC("F0Md", 7, 0, {}, true); }), invalid);
  EXPECT_EQ(fanRefusalOf([&] { transport.writeValue("F0Tg", Bytes(33, 0)); }), invalid);
  EXPECT_EQ(fanRefusalOf([&] { transport.callSMC("F0Md", 5, 1, Bytes{1}, true); }), invalid);  // a read with a payload

  EXPECT_TRUE(smc.received.empty());
  EXPECT_TRUE(transport.writeEvents().empty());

  // The same writes to allowed keys go through.
  transport.writeValue("F7Md", Bytes{1});
  transport.writeValue("F1Tg", Bytes{0x12, 0xC0});
  EXPECT_EQ(smc.writtenKeys(), (std::vector<std::string>{"F7Md", "F1Tg"}));
  EXPECT_EQ(smc.keys["F7Md"].bytes, Bytes{1});
}

TEST_F(FanSMCTransportTest, AnythingButAWholeSuccessfulReplyIsARefusalQuotingTheNumbers) {
  std::optional<SmcCallResult> scripted;
  smc.beforeAnswer = [&](const SmcParameterRecord&) { return scripted; };

  SmcCallResult result{0, 80, {}};
  result.output[40] = 0x84;
  result.output[41] = 7;
  SmcCallResult cut{0, 40, {}};
  cut.output[40] = 0x84;
  const std::vector<std::pair<SmcCallResult, std::string>> replies = {
      {{0, 79, {}}, "I/O=0, SMC result=0, SMC status=0, reply bytes=79"},
      {result, "I/O=0, SMC result=132, SMC status=7, reply bytes=80"},
      {{-536870212, 80, {}}, "I/O=-536870212, SMC result=0, SMC status=0, reply bytes=80"},
      // Bytes past the answered size are not the controller's answer: a reply cut before
      // the result byte is not read as "result 0", nor is a reply that claims to be longer.
      {cut, "I/O=0, SMC result=0, SMC status=0, reply bytes=40"},
      {{0, 81, {}}, "I/O=0, SMC result=0, SMC status=0, reply bytes=81"},
  };
  for (const auto& [reply, detail] : replies) {
    scripted = reply;
    EXPECT_EQ(fanRefusalOf([&] { transport.readValue("F0Md"); }), controllerRefusal("key=F0Md, command=9, " + detail));
  }

  // A refused write logs the attempt and the refusal; it is not retried.
  scripted = result;
  const std::size_t before = smc.received.size();
  EXPECT_EQ(fanRefusalOf([&] { transport.writeValue("F0Md", Bytes{1}); }),
            controllerRefusal("key=F0Md, command=6, I/O=0, SMC result=132, SMC status=7, reply bytes=80"));
  EXPECT_EQ(smc.received.size(), before + 1);
  const std::vector<std::string> log = events();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "WRITE key=F0Md, command=6, I/O=0, SMC result=132, SMC status=7, reply bytes=80, payload=[01]");
  EXPECT_EQ(log.back(), "REFUSED key=F0Md, command=6, I/O=0, SMC result=132, SMC status=7, reply bytes=80");
  EXPECT_EQ(log.front(), "REFUSED key=F0Md, command=9, " + replies.front().second);

  scripted.reset();
  EXPECT_EQ(transport.readValue("F0Md").bytes, Bytes{0});
}

TEST_F(FanSMCTransportTest, KeyInfoMustDeclareAUsableSizeAndATextType) {
  smc.keys["TBIG"] = {"ch8*", Bytes(33, 1)};
  smc.keys["TNIL"] = {"ch8*", {}};
  smc.keys["TBIN"] = {std::string("\x01\x02\xFF\x80", 4), Bytes{1, 2}};
  EXPECT_EQ(fanRefusalOf([&] { transport.readValue("TBIG"); }), "Unsupported fan metadata.");
  EXPECT_EQ(fanRefusalOf([&] { transport.readValue("TNIL"); }), "Unsupported fan metadata.");
  // A type that is not text is no type at all, so nothing decodes it.
  EXPECT_EQ(FanSMCTransport::describeValue(transport.readValue("TBIN")), "type=, value=unreadable, bytes=[01 02]");
  EXPECT_EQ(FanSMCTransport::describeValue(transport.readValue("TC0P")), "type=sp78, value=47.500, bytes=[2F 80]");
}

TEST(FanSMCTransportEncoding, TargetsAreEncodedExactlyOrRefused) {
  EXPECT_EQ(FanSMCTransport::encodeTarget(1200, "fpe2"), (Bytes{0x12, 0xC0}));
  EXPECT_EQ(FanSMCTransport::encodeTarget(600.125, "fpe2"), (Bytes{0x09, 0x61}));  // 2400.5 rounds up
  EXPECT_EQ(FanSMCTransport::encodeTarget(16383.75, "fpe2"), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(FanSMCTransport::encodeTarget(1200, "flt "), (Bytes{0x00, 0x00, 0x96, 0x44}));
  EXPECT_EQ(FanSMCTransport::encodeTarget(20000, "flt "), (Bytes{0x00, 0x40, 0x9C, 0x46}));

  const std::string exceeds = "RPM exceeds the target encoding.";
  EXPECT_EQ(fanRefusalOf([] { FanSMCTransport::encodeTarget(16384, "fpe2"); }), exceeds);
  // Rounds to 65536, which two bytes cannot hold.
  EXPECT_EQ(fanRefusalOf([] { FanSMCTransport::encodeTarget(16383.9, "fpe2"); }), exceeds);
  const std::string invalid = "Invalid requested RPM.";
  for (double rpm : {599.999, 20000.001, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), -1200.0}) {
    EXPECT_EQ(fanRefusalOf([&] { FanSMCTransport::encodeTarget(rpm, "flt "); }), invalid) << rpm;
  }
  const std::string unsupported = "Fan target encoding is unsupported; no alternate write was attempted.";
  for (const char* type : {"sp78", "ui8 ", "flt", "FPE2", ""}) {
    EXPECT_EQ(fanRefusalOf([&] { FanSMCTransport::encodeTarget(1200, type); }), unsupported) << type;
  }
}

TEST(FanSMCTransportEncoding, OnlyKnownTypesOfTheirExactLengthDecode) {
  using T = FanSMCTransport;
  EXPECT_EQ(T::decodeValue("ui8 ", Bytes{0xFF}), 255.0);
  EXPECT_EQ(T::decodeValue("fpe2", Bytes{0x12, 0xC0}), 1200.0);
  EXPECT_EQ(T::decodeValue("fpe2", Bytes{0xFF, 0xFF}), 16383.75);
  EXPECT_EQ(T::decodeValue("sp78", Bytes{0x2F, 0x80}), 47.5);
  EXPECT_EQ(T::decodeValue("sp78", Bytes{0xFF, 0x00}), -1.0);
  EXPECT_EQ(T::decodeValue("flt ", Bytes{0x00, 0x00, 0x96, 0x44}), 1200.0);

  const std::vector<std::pair<std::string, Bytes>> refused = {
      {"ui8 ", {}},
      {"ui8 ", {1, 0}},
      {"fpe2", {0x12}},
      {"sp78", {0x2F, 0x80, 0x00}},
      {"flt ", {0, 0, 0x96}},
      {"flt ", {0, 0, 0xC0, 0x7F}} /* NaN */,
      {"flt ", {0, 0, 0x80, 0x7F}} /* infinity */,
      {"flt", {0, 0, 0x96, 0x44}},
      {"ui16", {0x00, 0x01}},
  };
  for (const auto& [type, bytes] : refused) EXPECT_EQ(T::decodeValue(type, bytes), std::nullopt) << type;
}

TEST_F(FanSMCTransportTest, ReadsEveryFanInOrderAndRefusesAnythingOdd) {
  EXPECT_EQ(transport.readFanInventory(), (std::vector<FanControlFan>{{0, "Fan 1", 2150, 1200, 5800, 2400, false},
                                                                      {1, "Fan 2", 1999.75, 1200, 6000, 2000, true}}));
  EXPECT_TRUE(smc.writtenKeys().empty());

  const std::string unknownCount = "Fan count is unknown or unsupported.";
  const std::string unsupported =
      "This Mac does not expose the supported per-fan mode/target interface. Monitoring remains available. "
      "Alternative force/test protocols are not enabled.";
  const auto inventoryWith = [&](const std::string& key, FakeSmc::Key value) {
    FakeSmc changed = smc;
    changed.beforeAnswer = nullptr;
    if (value.type.empty()) {
      changed.keys.erase(key);
    } else {
      changed.keys[key] = std::move(value);
    }
    FanSMCTransport other(changed);
    return fanRefusalOf([&] { other.readFanInventory(); });
  };
  EXPECT_EQ(inventoryWith("FNum", FakeSmc::ui8(9)), unknownCount);
  EXPECT_EQ(inventoryWith("FNum", FakeSmc::flt(2)), unknownCount);
  EXPECT_EQ(inventoryWith("FNum", {"ui8 ", {2, 0}}), unknownCount);
  EXPECT_EQ(inventoryWith("F1Md", FakeSmc::ui8(2)), unsupported);
  EXPECT_EQ(inventoryWith("F1Md", FakeSmc::fpe2(1)), unsupported);
  EXPECT_EQ(inventoryWith("F0Ac", FakeSmc::sp78(20)), unsupported);
  EXPECT_EQ(inventoryWith("F0Tg", {"flt ", {0x00, 0x00, 0xC0, 0x7F}}), unsupported);
  EXPECT_EQ(inventoryWith("F1Mx", {}),
            controllerRefusal("key=F1Mx, command=9, I/O=0, SMC result=132, SMC status=0, reply bytes=80"));
  EXPECT_EQ(inventoryWith("F1Mx", FakeSmc::fpe2(1200)), "Fan limits or readings are invalid.");
  // A mixture of fpe2 and flt registers is what some controllers report; it is fine.
  EXPECT_EQ(inventoryWith("F1Mx", FakeSmc::flt(6500)), "(accepted)");

  // No fans is an empty list, for the caller to judge.
  smc.keys["FNum"] = FakeSmc::ui8(0);
  EXPECT_TRUE(transport.readFanInventory().empty());
}

TEST(FanSMCTransportSensors, TheChipStringChoosesTheKeys) {
  using T = FanSMCTransport;
  // The keys themselves, the M4 variants' GPU sensors included, are checked against every
  // emulated model (simulated_smc_test); here, how the chip string is read. "Intel"
  // anywhere, in any case, is the Intel list.
  const TemperatureKeys intel = T::temperatureKeys("Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz");
  EXPECT_EQ(intel.cpu.front(), "TC0P");
  EXPECT_EQ(T::temperatureKeys("genuine intel processor").cpu, intel.cpu);
  // A family name alone or followed by a variant.
  EXPECT_EQ(T::temperatureKeys("Apple M1 Max").gpu, T::temperatureKeys("Apple M1").gpu);
  for (const char* unknown : {"Apple M10", "Apple M5", "Apple M1Pro", "apple M1", "AMD Ryzen 9", ""}) {
    const TemperatureKeys keys = T::temperatureKeys(unknown);
    EXPECT_TRUE(keys.cpu.empty() && keys.gpu.empty()) << unknown;
  }
}

TEST_F(FanSMCTransportTest, TheHighestPlausibleReadingWins) {
  smc.keys["TC0D"] = FakeSmc::flt(140);  // not plausible
  smc.keys["TCAD"] = FakeSmc::flt(61.25);
  smc.keys["TCXX"] = FakeSmc::ui8(99);  // not a temperature type
  smc.keys["TCZZ"] = FakeSmc::sp78(0);  // not plausible
  smc.keys["TCNN"] = {"flt ", {0x00, 0x00, 0xC0, 0x7F}};
  EXPECT_EQ(transport.readTemperature({"TC0P", "TMIS", "TC0D", "TCAD", "TCXX"}), 61.25);
  EXPECT_EQ(transport.readTemperature({"TC0P", "TC0D"}), 47.5);
  EXPECT_EQ(transport.readTemperature({"TC0D", "TCXX", "TCZZ", "TCNN", "TMIS"}), std::nullopt);
  EXPECT_EQ(transport.readTemperature({}), std::nullopt);
  smc.keys["TC0P"] = FakeSmc::flt(139.99);
  EXPECT_NEAR(*transport.readTemperature({"TC0P"}), 139.99, 0.01);
  smc.keys["TC0P"] = FakeSmc::sp78(-20);
  EXPECT_EQ(transport.readTemperature({"TC0P"}), std::nullopt);
  EXPECT_TRUE(smc.writtenKeys().empty());
}

TEST_F(FanSMCTransportTest, ASensorRefusalIsLoggedOncePerSessionAndTheKeyStillRead) {
  smc.keys["TCAD"] = FakeSmc::sp78(52);
  bool failing = true;
  smc.beforeAnswer = [&](const SmcParameterRecord&) -> std::optional<SmcCallResult> {
    if (!failing || smc.keyOf(smc.received.size() - 1) != "TCAD") return std::nullopt;
    return SmcCallResult{static_cast<std::int32_t>(0xE00002BC), 0, {}};
  };
  const auto callsFor = [&](const std::string& key) {
    int calls = 0;
    for (std::size_t call = 0; call < smc.received.size(); ++call) calls += smc.keyOf(call) == key;
    return calls;
  };
  for (int step = 0; step < 3; ++step) EXPECT_EQ(transport.readTemperature({"TMIS", "TC0P", "TCAD"}), 47.5);
  const std::string skipped = "; sensor skipped, its refusals are not logged again in this session";
  EXPECT_EQ(events(),
            (std::vector<std::string>{
                "REFUSED key=TMIS, command=9, I/O=0, SMC result=132, SMC status=0, reply bytes=80" + skipped,
                "REFUSED key=TCAD, command=9, I/O=-536870212, SMC result=0, SMC status=0, reply bytes=0" + skipped}));
  EXPECT_EQ(callsFor("TMIS"), 3);
  EXPECT_EQ(callsFor("TCAD"), 3);
  // A sensor that answers again counts again.
  failing = false;
  EXPECT_EQ(transport.readTemperature({"TMIS", "TC0P", "TCAD"}), 52);
  EXPECT_EQ(events().size(), 2u);

  // A new transport (a new session) logs the missing key again, once.
  FanSMCTransport next(smc);
  EXPECT_EQ(next.readTemperature({"TMIS"}), std::nullopt);
  EXPECT_EQ(next.readTemperature({"TMIS"}), std::nullopt);
  EXPECT_EQ(next.writeEvents().size(), 1u);
}

TEST(FanSMCTransportMetadata, DescribesTheFanKeysWithoutWritingOrLogging) {
  FakeSmc smc;
  smc.addFan(0, "flt ", 1800, 1200, 5700, 1800, 0);
  FanSMCTransport transport(smc);
  const std::string verdict = "; metadata only, not a write-capability verdict";
  const std::string missing =
      ": unavailable \u2014 " +
      controllerRefusal("key=F0md, command=9, I/O=0, SMC result=132, SMC status=0, reply bytes=80");
  const std::vector<std::string> described = {
      "KEY INFO FNum: type=ui8 , bytes=1, attributes=0x80" + verdict,
      "KEY INFO F0Md: type=ui8 , bytes=1, attributes=0xD4" + verdict,
      "KEY INFO F0md" + missing,
      "KEY INFO F0Tg: type=flt , bytes=4, attributes=0xD4" + verdict,
      "KEY INFO F0Ac: type=flt , bytes=4, attributes=0x80" + verdict,
      "KEY INFO F0Mn: type=flt , bytes=4, attributes=0x80" + verdict,
      "KEY INFO F0Mx: type=flt , bytes=4, attributes=0x80" + verdict,
      "KEY INFO Ftst: unavailable \u2014 " +
          controllerRefusal("key=Ftst, command=9, I/O=0, SMC result=132, SMC status=0, reply bytes=80"),
  };
  EXPECT_EQ(transport.captureInterfaceMetadata(), described);
  EXPECT_TRUE(smc.writtenKeys().empty());
  EXPECT_TRUE(transport.writeEvents().empty());

  // An unusable fan count describes FNum and Ftst only.
  smc.keys["FNum"] = FakeSmc::ui8(9);
  EXPECT_EQ(transport.captureInterfaceMetadata(), (std::vector<std::string>{described.front(), described.back()}));
}

TEST_F(FanSMCTransportTest, KeepsTheNewest48LinesOfAtMost384Characters) {
  for (int line = 0; line < 60; ++line) transport.recordEvent("line " + std::to_string(line));
  ASSERT_EQ(transport.writeEvents().size(), 48u);
  EXPECT_EQ(transport.writeEvents().front(), "line 12");
  EXPECT_EQ(transport.writeEvents().back(), "line 59");

  transport.recordEvent(std::string(1000, 'x'));
  EXPECT_EQ(transport.writeEvents().back(), std::string(384, 'x'));
  EXPECT_EQ(transport.writeEvents().size(), 48u);
  transport.recordEvent(std::string(383, 'x') + "\u2014tail");
  EXPECT_EQ(transport.writeEvents().back(), std::string(383, 'x') + "\u2014");
}

}  // namespace
}  // namespace tidewarden::fan
