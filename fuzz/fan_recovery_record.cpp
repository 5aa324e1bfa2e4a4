// Fuzz target: the fan recovery record ("lease.json") read at start-up and acted on by
// the restart recovery, on an in-memory controller whose fans 0 and 1 a previous helper
// left in manual mode (fan 1 before its target write) and whose fan 2 another tool holds.
//
// A record that is believed returns exactly its fans to System (fan 2 is never
// written), deletes the file, and reads back equal after encoding. Any other record
// blocks new overrides, leaves the file as it was and writes nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "fan/fan_control_coordinator.h"
#include "fan/fan_control_error.h"
#include "fan/fan_recovery_store.h"
#include "fuzz/fuzz_check.h"
#include "platform/dispatch_queue.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "support/test_platform.h"

namespace {

namespace fan = tidewarden::fan;
namespace platform = tidewarden::platform;
using tidewarden::fuzz::printable;
using tidewarden::testing::FakeSmc;

constexpr const char* kRecovered = "Previous Tidewarden fan override returned to System after helper restart.";

struct World {
  tidewarden::testing::TestPlatform tp;
  platform::SerialQueue queue{"fuzz.fan"};
  std::string directory;

  World() {
    directory = tp.rootPath() + "/Library/Application Support/Tidewarden/FanControl";
    std::filesystem::create_directories(directory);
    for (const char* path : {"/Library", "/Library/Application Support", "/Library/Application Support/Tidewarden",
                             "/Library/Application Support/Tidewarden/FanControl"}) {
      std::filesystem::permissions(tp.rootPath() + path, std::filesystem::perms(0755));
    }
  }
  std::string file() const { return directory + "/lease.json"; }
};

World& world() {
  static World instance;
  return instance;
}

void reset(World& w, std::string_view bytes) {
  w.tp.clock.wall = 800000000.0;
  w.tp.clock.up = 1000.0;
  w.tp.smc.keys.clear();
  w.tp.smc.received.clear();
  w.tp.smc.addFan(0, "flt ", 3000, 1200, 5700, 3000, 1);
  w.tp.smc.addFan(1, "fpe2", 2000, 1200, 6000, 2000, 1);
  w.tp.smc.addFan(2, "flt ", 4000, 1200, 6100, 4000, 1);
  ::unlink(w.file().c_str());
  platform::UniqueFd file(::open(w.file().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  FUZZ_CHECK(file && platform::writeAll(file.get(), bytes), "cannot write lease.json");
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

double modeOf(World& w, int fan) {
  const FakeSmc::Key& key = w.tp.smc.keys["F" + std::to_string(fan) + "Md"];
  return key.bytes.empty() ? -1 : key.bytes[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  World& w = world();
  reset(w, bytes);

  std::optional<fan::FanRecoveryRecord> record;
  try {
    record = fan::FanRecoveryStore(w.tp.platform().root).read();
  } catch (const fan::FanControlError&) {
  }
  if (record) {
    const std::optional<std::string> text = platform::json::encode(platform::json::encodeValue(*record));
    FUZZ_CHECK(text, "a record that was read does not encode");
    fan::FanRecoveryRecord again;
    try {
      again = platform::json::decodeDocument<fan::FanRecoveryRecord>(*text);
    } catch (const std::exception& error) {
      FUZZ_CHECK(false, std::string("an encoded record does not decode: ") + error.what());
    }
    FUZZ_CHECK(again == *record, "a record changed on its way round: " + printable(bytes));
  }

  fan::FanControlCoordinator coordinator(w.tp.platform(), w.queue, [](std::function<void()>) {
    return std::make_unique<fan::ControlTimer>();
  });
  coordinator.recoverAfterRestart();
  std::vector<std::string> written = w.tp.smc.writtenKeys();

  if (!coordinator.recoveryBlocked()) {
    FUZZ_CHECK(coordinator.lastMessage() == kRecovered, "unblocked without recovering: " + coordinator.lastMessage());
    FUZZ_CHECK(record, "recovered from a record that does not read: " + printable(bytes));
    FUZZ_CHECK(!std::filesystem::exists(w.file()), "a completed recovery left its record");
    for (int fan = 0; fan < 3; ++fan) {
      const bool named = record->expected.contains(fan);
      FUZZ_CHECK(!named || modeOf(w, fan) == 0, "a recorded fan is still manual");
      FUZZ_CHECK(named || modeOf(w, fan) == 1, "a fan the record does not name was changed");
    }
    for (const std::string& key : written) {
      FUZZ_CHECK(key.size() == 4 && key.substr(2) == "Md" && record->expected.contains(key[1] - '0'),
                 "the recovery wrote " + key);
    }
  } else {
    FUZZ_CHECK(!coordinator.lastMessage().empty(), "blocked without a message");
    FUZZ_CHECK(written.empty(), "a blocked recovery wrote " + written.front());
    FUZZ_CHECK(slurp(w.file()) == bytes, "a blocked recovery changed its record");
  }
  return 0;
}
