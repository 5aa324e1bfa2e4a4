// Real fan control on Linux: the fan coordinator on the applesmc client, against a driver directory of real files
// beneath a test root whose answers to writes are the driver's.
#include "platform/linux/linux_smc_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <fstream>

#include "support/fan_fixture.h"
#include "support/fan_refusal.h"

namespace tidewarden::platform {
namespace {

namespace fs = std::filesystem;
using Action = fan::FanControlRequest::Action;

// The fixture's Intel Mac (fans 0 and 1 automatic at 1800 and 2000 RPM, the CPU at 50 °C)
// with the GPU at 45 °C, its controller's registers shown by the kernel's applesmc driver in
// a directory of real files beneath the test root.
class LinuxSmcClientTest : public testing::FanCoordinatorFixture {
 protected:
  // The production attributes of that directory; a write that succeeds is then the driver's.
  struct Driver final : AppleSmcAttributes {
    Driver(LinuxSmcClientTest& test, std::unique_ptr<AppleSmcAttributes> files) : test(test), files(std::move(files)) {}
    Text read(const std::string& name) override { return files->read(name); }
    int write(const std::string& name, std::string_view text) override {
      int error = files->write(name, text);
      if (error == 0) error = test.answer(name, text);
      test.shown.erase(name);  // the write replaced what the file showed
      test.show();
      return error;
    }
    LinuxSmcClientTest& test;
    std::unique_ptr<AppleSmcAttributes> files;
  };

  LinuxSmcClientTest() {
    keys["TG0P"] = testing::FakeSmc::sp78(45);
    fs::create_directories(directory);
    show();
  }
  // Every file as drivers/hwmon/applesmc.c shows it ("%d\n" numbers, "%s\n" names, raw
  // data; keys by index in name order; fanN_output the fpe2 target F<N-1>Tg >> 2, fanN_manual
  // the mode F<N-1>Md, or without it bit N-1 of "FS! "), each written when it changes.
  void show() {
    const auto& [name, key] = *std::next(keys.begin(), static_cast<long>(selected));
    std::map<std::string, std::string> files = {{"name", "applesmc\n"},
                                                {"key_count", std::to_string(keys.size()) + "\n"},
                                                {"key_at_index", std::to_string(selected) + "\n"},
                                                {"key_at_index_name", name + "\n"},
                                                {"key_at_index_type", key.type + "\n"},
                                                {"key_at_index_data_length", std::to_string(key.bytes.size()) + "\n"},
                                                {"key_at_index_data", std::string(key.bytes.begin(), key.bytes.end())}};
    for (const int fan : {0, 1}) {
      const std::string prefix = "F" + std::to_string(fan), file = "fan" + std::to_string(fan + 1);
      const auto& target = keys[prefix + "Tg"].bytes;
      files[file + "_output"] = std::to_string((target[0] << 8 | target[1]) >> 2) + "\n";
      const bool manual =
          keys.contains(prefix + "Md") ? keys[prefix + "Md"].bytes[0] : keys["FS! "].bytes[1] >> fan & 1;
      files[file + "_manual"] = manual ? "1\n" : "0\n";
    }
    for (const auto& [file, text] : files) {
      if (shown[file] != text) put(file, text);
    }
  }
  // The driver's answer to a write (kstrtoul of the text): key_at_index takes an index
  // below the count, fanN_manual sets F<N-1>Md to 1 for any non-zero number, fanN_output
  // sets F<N-1>Tg to RPM << 2 for RPM below 0x4000; anything else is EINVAL.
  int answer(const std::string& name, std::string_view text) {
    if (text.ends_with('\n')) text.remove_suffix(1);
    unsigned long value = 0;
    if (text.empty() || std::from_chars(text.data(), text.data() + text.size(), value).ptr != text.end()) return EINVAL;
    const std::string fan = "F" + std::to_string(name[3] - '1');
    if (name == "key_at_index" && value < keys.size()) {
      selected = value;
    } else if (name.ends_with("_manual") && keys.contains(fan + "Md")) {
      keys[fan + "Md"].bytes = {value != 0};
    } else if (name.ends_with("_output") && value < 0x4000) {
      keys[fan + "Tg"].bytes = testing::FakeSmc::fpe2(static_cast<double>(value)).bytes;
    } else {
      return EINVAL;
    }
    return 0;
  }
  void put(const std::string& name, const std::string& text) {
    std::ofstream(directory + "/" + name) << (shown[name] = text);
  }
  std::string file(const std::string& name) {
    std::ifstream in(directory + "/" + name);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string modes() { return file("fan1_manual") + file("fan2_manual"); }
  fan::FanControlReply perform(Action action) {
    return coordinator->perform(makeRequest(action, fan::FanControlMode::maximum));
  }

  const std::string directory = tp.rootPath() + kAppleSmcDirectory;
  std::map<std::string, testing::FakeSmc::Key>& keys = tp.smc.keys;
  unsigned long selected = 0;  // the driver's one index for every process
  std::map<std::string, std::string> shown;
  std::unique_ptr<SmcClient> client = makeLinuxSmcClient([this] {
    AppleSmcOpenResult opened = openAppleSmcAttributes(tp.platform().root);
    if (opened.attributes) opened.attributes = std::make_unique<Driver>(*this, std::move(opened.attributes));
    return opened;
  });
  Platform onApplesmc{
      tp.platform().root, tp.clock,     tp.facts,   tp.platform().codeSigning, tp.platform().launcher, *client,
      tp.power,           tp.freeSpace, tp.signals, tp.diskArbitration, tp.platform().fileFlags};
  std::unique_ptr<fan::FanControlCoordinator> coordinator = newCoordinator(onApplesmc);
};

TEST_F(LinuxSmcClientTest, FansAreReadHeldVerifiedAndReleasedThroughTheDriversFiles) {
  const fan::FanControlReply inspected = perform(Action::inspect);
  ASSERT_TRUE(inspected.status) << inspected.message;
  EXPECT_EQ(inspected.status->fans[1].maximumRPM, 6000);
  EXPECT_EQ(inspected.status->cpuTemperature, 50);
  EXPECT_EQ(inspected.status->gpuTemperature, 45);

  // Returned to System by the user, then by the lapse of the lease.
  for (const bool lapse : {false, true}) {
    ASSERT_TRUE(perform(Action::apply).accepted) << lapse;
    EXPECT_EQ(modes() + file("fan1_output") + file("fan2_output"), "1\n1\n5700\n6000\n");
    EXPECT_EQ(reg("F1Tg"), 6000);
    tp.clock.sleepFor(lapse ? fan::kHeartbeatLimitSeconds : 0);
    const std::string message =
        lapse ? (coordinator->controlTick(), coordinator->lastMessage()) : perform(Action::restore).message;
    EXPECT_EQ(message, lapse ? "Fan session expired or the app stopped responding. System control restored."
                             : "System control restored by the user.");
    EXPECT_EQ(modes(), "0\n0\n");
  }

  // A helper killed holding the fans leaves the driver and the recovery record as they
  // are, as dropping its coordinator does. The next one returns the fans at start.
  ASSERT_TRUE(perform(Action::apply).accepted);
  coordinator = newCoordinator(onApplesmc);
  EXPECT_EQ(modes(), "1\n1\n");
  coordinator->recoverAfterRestart();
  EXPECT_EQ(coordinator->lastMessage(), "Previous Tidewarden fan override returned to System after helper restart.");
  EXPECT_EQ(modes(), "0\n0\n");
  EXPECT_FALSE(fs::exists(recordPath()));
}

// A write the driver's directory refuses (a directory in place of fan 2's target file,
// which root cannot write either) ends the apply with every fan back in System; a
// controller without per-fan mode keys is refused before any write.
TEST_F(LinuxSmcClientTest, ARefusedWriteReleasesEveryFanAndNoModeKeysWritesNothing) {
  const std::vector<std::tuple<std::function<void()>, std::string, bool>> cases = {
      {[&] { fs::remove(directory + "/fan2_output"), fs::create_directory(directory + "/fan2_output"); },
       "key=F1Tg, command=6, I/O=-21, SMC result=0, SMC status=0, reply bytes=0", true},
      {[&] {
         keys.erase("F0Md"), keys.erase("F1Md"), keys["FS! "] = {"ui16", {0, 0}}, selected = 0;
       },
       "key=F0Md, command=9, I/O=0, SMC result=132, SMC status=0, reply bytes=80", false}};
  for (const auto& [change, refusal, written] : cases) {
    change();
    show();
    coordinator = newCoordinator(onApplesmc);  // another machine: its keys are looked up afresh
    const std::string target = file("fan1_output");
    const fan::FanControlReply refused = perform(Action::apply);
    EXPECT_TRUE(refused.message.starts_with(testing::controllerRefusal(refusal) + " ")) << refused.message;
    EXPECT_EQ(modes(), "0\n0\n");
    EXPECT_EQ(file("fan1_output") != target, written);
    EXPECT_EQ(refused.diagnostics->find("WRITE key=") != std::string::npos, written) << *refused.diagnostics;
  }
}

// Not the driver's directory, or not its documented answer: no controller, or a refusal.
// A pipe in place of a file is refused, not waited on.
TEST_F(LinuxSmcClientTest, NoDriverOrAnUndocumentedAnswerIsARefusal) {
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { put("key_count", "7"); }, "I/O=-74"},
      {[&] { fs::remove(directory + "/key_count"), ::mkfifo((directory + "/key_count").c_str(), 0600); }, "I/O=-22"},
      {[&] { put("name", "applesmc-not\n"); }, "AppleSMC is unavailable."},
      {[&] { fs::remove_all(directory); }, "AppleSMC is unavailable."}};
  for (const auto& [change, expected] : cases) {
    change();
    const std::string refusal = testing::fanRefusalOf([&] {
      fan::FanSMCTransport smc(*client);
      smc.readFanInventory();
    });
    EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
  }
}

}  // namespace
}  // namespace tidewarden::platform
