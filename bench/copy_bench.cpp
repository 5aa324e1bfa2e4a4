// Benchmark: the private package snapshot copy of a 1 GiB file beside `cp` followed by
// `sync` on the copy, on the same disk in the same run, and the ratio of their throughputs.
//
// Usage: tidewarden-bench-copy [DIRECTORY]   (default: a fresh directory under $TMPDIR or /tmp)
// DIRECTORY stands for the simulated "/" of the snapshot (its preparation storage goes in
// DIRECTORY/private/var/tmp) and holds the source and cp's copies; it is removed afterwards.
// Each copy runs kRuns times, alternating, and the best run of each is reported. Needs
// root (the preparation gate does) and about 3 GiB free in DIRECTORY.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <vector>

#include "materialize/private_package_snapshot.h"
#include "platform/development_anchor.h"
#include "platform/file_io.h"
#include "platform/free_space.h"
#include "platform/linux/linux_platform.h"
#include "storage/installer_file_identity.h"
#include "storage/preparation_storage_gate.h"
#include "storage/safe_paths.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tidewarden::platform::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kBytes = 1ll << 30;
constexpr int kRuns = 4;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "tidewarden-bench-copy: %s\n", what.c_str());
  std::exit(1);
}

void writeSource(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  std::string chunk(1 << 20, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 2654435761u) >> 24);
  for (std::int64_t written = 0; written < kBytes; written += static_cast<std::int64_t>(chunk.size())) {
    chunk[0] = static_cast<char>(written >> 20);  // no two blocks alike
    if (!file || !tidewarden::platform::writeAll(file.get(), chunk)) die("cannot write " + path);
  }
  if (::fsync(file.get()) != 0) die("cannot sync " + path);
}

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& argument : argv) args.push_back(const_cast<char*>(argument.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0 || ::waitpid(pid, &status, 0) != pid ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    die("the command " + argv[0] + " failed");
  }
}

}  // namespace

int main(int argc, char** argv) {
  namespace platform = tidewarden::platform;
  namespace storage = tidewarden::storage;
  const bool own = argc < 2;
  std::string directory;
  if (own) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tidewarden-bench-copy.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) die("cannot make a directory under " + pattern);
    directory = pattern;
  } else {
    directory = argv[1];
  }
  fs::create_directories(directory + "/private/var/tmp");
  const std::string source = directory + "/InstallAssistant.pkg";
  writeSource(source);

  platform::LinuxPlatform production{platform::developmentTrustAnchors()};
  const UniqueFd root(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) die("cannot open " + directory);
  const std::unique_ptr<platform::FreeSpace> freeSpace = platform::makeVolumeFreeSpace(root);
  platform::Platform& p = production.platform();
  platform::Platform bench{root, p.clock, p.processFacts, p.codeSigning, p.launcher, p.smc, p.power, *freeSpace,
                           p.signals, p.diskArbitration, p.fileFlags};

  double bestSnapshot = 1e30;
  double bestCp = 1e30;
  for (int runIndex = 0; runIndex < kRuns; ++runIndex) {
    {
      const UniqueFd input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
      const auto facts = platform::fileFacts(input.get());
      if (!facts) die("cannot inspect " + source);
      storage::PreparationStorageGate gate = storage::PreparationStorageGate::open(bench);
      storage::PreparationWorkspace workspace = gate.createWorkspace("15.1", "24B83", "installer");
      const auto start = Clock::now();
      tidewarden::materialize::makePrivatePackageSnapshot(bench, input.get(), storage::fileIdentity(*facts), workspace);
      bestSnapshot = std::min(bestSnapshot, seconds(start));
      fs::remove_all(directory + std::string(storage::kPreparationRoot));
    }
    {
      const std::string copy = directory + "/cp-copy.pkg";
      const auto start = Clock::now();
      run({"cp", source, copy});
      run({"sync", copy});
      bestCp = std::min(bestCp, seconds(start));
      fs::remove(copy);
    }
  }
  const double mib = static_cast<double>(kBytes) / (1 << 20);
  std::printf("snapshot copy: %.0f MiB/s (best of %d)\n", mib / bestSnapshot, kRuns);
  std::printf("cp + sync:     %.0f MiB/s (best of %d)\n", mib / bestCp, kRuns);
  std::printf("snapshot copy / cp: %.2f\n", bestCp / bestSnapshot);
  if (own) fs::remove_all(directory);
  else fs::remove(source);
  return 0;
}
