// Fuzz target: the simulator's world file reader (World::read on a directory whose
// world.json holds the input). A refusal is a WorldError naming the file; a world that
// reads is written back as the simulator writes it and reads back equal.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_check.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"
#include "sim/world.h"
#include "support/temp_dir.h"

namespace {

namespace sim = tidewarden::sim;
namespace platform = tidewarden::platform;
using tidewarden::fuzz::printable;

const tidewarden::testing::TempDir& directory() {
  static const tidewarden::testing::TempDir instance;
  return instance;
}

// A new file each time: ext4 flushes a file truncated and rewritten when it is closed,
// which made every run wait for the disk.
void writeState(std::string_view bytes) {
  const std::string path = directory().path() + "/world.json";
  ::unlink(path.c_str());
  platform::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  FUZZ_CHECK(file && platform::writeAll(file.get(), bytes), "cannot write world.json");
}

bool sameRecord(const sim::WorldRecord& a, const sim::WorldRecord& b) {
  return a.process.uid == b.process.uid && a.process.euid == b.process.euid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  writeState(bytes);
  sim::WorldRecord record;
  try {
    record = sim::World::read(directory().path());
  } catch (const sim::WorldError& error) {
    const std::string prefix = "Cannot read " + directory().path() + "/world.json: ";
    FUZZ_CHECK(std::string(error.what()).rfind(prefix, 0) == 0, std::string("a refusal that names no file: ") +
                                                                    error.what());
    return 0;
  }
  // A user id of (uid_t)-1 means "no change" to the kernel and is never stored.
  FUZZ_CHECK(record.process.uid != 0xFFFFFFFFu && record.process.euid != 0xFFFFFFFFu,
             "accepted the user id 4294967295");
  // Written as the simulator writes it; read back as World::read reads it.
  const std::string written = record.toJson().dump(2) + "\n";
  const nlohmann::json reparsed = nlohmann::json::parse(written, nullptr, /*allow_exceptions=*/false);
  sim::WorldRecord again;
  try {
    again = sim::WorldRecord::fromJson(reparsed);
  } catch (const sim::WorldError& error) {
    FUZZ_CHECK(false, std::string("a written world does not read back: ") + error.what() + "\n  " + printable(written));
  }
  FUZZ_CHECK(sameRecord(record, again), "a written world reads back different: " + printable(bytes));
  FUZZ_CHECK(again.toJson() == record.toJson(), "the world record's JSON coding is not stable");
  return 0;
}
