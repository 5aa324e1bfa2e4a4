// Fuzz target: the evaluation of a launch daemon's property list. The bytes are the item's
// property list in /Library/LaunchDaemons of a small test Mac holding a script, a related
// program and an interpreter. Every outcome is an item or a refusal; an item names
// standardized absolute paths that exist as regular files, its signals are the known
// phrases in order, and the evaluation changes no file.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "quarantine/background_quarantine_error.h"
#include "quarantine/quarantine_paths.h"
#include "quarantine/startup_item_evaluation.h"
#include "support/test_platform.h"

namespace {

using namespace tidewarden;

constexpr const char* kPlist = "/Library/LaunchDaemons/com.example.fuzz.plist";
const std::vector<std::string> kKnownSignals = {"persistent retry loop", "launches additional code using launchctl",
                                                "checks for a process and relaunches it"};

void put(const std::string& root, const std::string& logical, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(root + logical).parent_path());
  std::ofstream(root + logical, std::ios::binary | std::ios::trunc) << bytes;
}

testing::TestPlatform& mac() {
  // Destroyed at exit, which removes its temporary root.
  static testing::TestPlatform platform;
  static const bool laidOut = [] {
    const std::string root = platform.rootPath();
    put(root, "/bin/sh", "#!/bin/sh\n");
    put(root, "/Users/Shared/.cache/run.sh",
        "#!/bin/sh\nwhile true; do pgrep x || launchctl bootstrap system y; sleep 1; done\n"
        "exec '/Users/Shared/.cache/agent' \"/private/tmp/tool\"\n");
    put(root, "/Users/Shared/.cache/agent", "agent");
    put(root, "/private/tmp/tool", "tool");
    std::filesystem::create_symlink("/Users/Shared/.cache/run.sh", root + "/private/tmp/link.sh");
    return true;
  }();
  (void)laidOut;
  return platform;
}

// Every entry of the tree with its size and modification time.
std::string snapshot(const std::string& root) {
  std::string text;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    text += entry.path().string() + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec) + "\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  testing::TestPlatform& test = mac();
  put(test.rootPath(), kPlist, std::string(fuzz::asBytes(data, size)));
  const std::string before = snapshot(test.rootPath());
  const quarantine::BackgroundQuarantineRequest request{"com.example.fuzz", kPlist, {}};
  try {
    const quarantine::InspectedStartupItem item = quarantine::evaluateStartupItem(test.platform(), request);
    FUZZ_CHECK(item.label == request.label, "an item with another label: " + fuzz::printable(item.label));
    FUZZ_CHECK(item.plistURL == kPlist, "the property list moved: " + item.plistURL);
    for (const std::string& path : {item.launchTarget, item.relatedExecutable.value_or(item.launchTarget)}) {
      FUZZ_CHECK(path.starts_with('/') && quarantine::standardizedPath(path) == path,
                 "not a standardized absolute path: " + fuzz::printable(path));
      const auto entry = quarantine::locateEntry(test.platform().root, path);
      FUZZ_CHECK(entry.status && entry.status->kind == platform::EntryKind::regular,
                 "a judged program that is not a regular file: " + fuzz::printable(path));
    }
    FUZZ_CHECK(item.relatedExecutable != item.launchTarget, "the script is its own related executable");
    std::size_t next = 0;
    for (const std::string& signal : item.scriptSignals) {
      while (next < kKnownSignals.size() && kKnownSignals[next] != signal) ++next;
      FUZZ_CHECK(next < kKnownSignals.size(), "an unknown or repeated signal: " + signal);
      ++next;
    }
    quarantine::evidenceScore(item);
  } catch (const quarantine::BackgroundQuarantineError&) {
  } catch (const std::runtime_error& error) {
    FUZZ_CHECK(std::string(error.what()).starts_with("The property list " + std::string(kPlist)) ||
                   std::string(error.what()).starts_with("Cannot read " + std::string(kPlist)),
               std::string("an unexpected error: ") + error.what());
  }
  FUZZ_CHECK(snapshot(test.rootPath()) == before, "the evaluation changed the file tree");
  return 0;
}
