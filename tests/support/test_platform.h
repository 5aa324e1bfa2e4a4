// A platform bundle for tests: a temporary root, a settable clock and user IDs, an
// in-memory controller, and code signing that trusts the anchors the test hands in.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/disk_arbitration.h"
#include "platform/file_flags.h"
#include "platform/free_space.h"
#include "platform/platform.h"
#include "platform/process_facts.h"
#include "platform/process_launcher.h"
#include "platform/process_signals.h"
#include "platform/system_power.h"
#include "support/fake_smc.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {

// Wall clock and uptime that only move when the test moves them; sleeping advances them.
// Engines may read and sleep on it from several threads at once; the test sets the
// fields while nothing else runs.
class ManualClock final : public platform::Clock {
 public:
  double now() override {
    std::lock_guard lock(mutex_);
    return wall;
  }
  double uptime() override {
    std::lock_guard lock(mutex_);
    up += uptimeStepPerRead;
    return up;
  }
  void sleepFor(double seconds) override {
    if (duringSleep) duringSleep(seconds);
    std::lock_guard lock(mutex_);
    wall += seconds;
    up += seconds;
  }
  double wall = 800000000.0;
  double up = 1000.0;
  // Added to the uptime at every read: a wait measured on this clock ends after a few
  // looks, whatever the real time.
  double uptimeStepPerRead = 0;
  // Run at each sleep before the time moves on: a test's way into a wait. Set it while
  // nothing else runs.
  std::function<void(double)> duringSleep;

 private:
  std::mutex mutex_;
};

class FixedProcessFacts final : public platform::ProcessFacts {
 public:
  uid_t realUserId() override { return uid; }
  uid_t effectiveUserId() override { return euid; }
  std::string cpuBrand() override { return brand; }
  std::string modelIdentifier() override { return model; }
  std::string osVersion() override { return os; }
  std::optional<std::string> deviceIdentifier() override { return device; }
  std::optional<std::string> userName(uid_t id) override {
    for (const auto& [name, accountId] : accounts) {
      if (accountId == id) return name;
    }
    return std::nullopt;
  }
  std::optional<uid_t> userId(std::string_view name) override {
    for (const auto& [accountName, accountId] : accounts) {
      if (accountName == name) return accountId;
    }
    return std::nullopt;
  }
  pid_t processIdentifier() override { return pid ? *pid : ProcessFacts::processIdentifier(); }
  uid_t uid = 0;
  uid_t euid = 0;
  std::string brand;
  std::string model = "Unknown";
  std::string os = "macOS 15.0";
  std::optional<std::string> device = "TEST-MAC-1";
  std::vector<std::pair<std::string, uid_t>> accounts{{"root", 0}, {"_softwareupdate", 200}, {"admin", 501}};
  std::optional<pid_t> pid;  // the test's own process id when unset
};

// Thermal pressure set by the test; sleep notices delivered by calling `handler`.
class FakeSystemPower final : public platform::SystemPower {
 public:
  platform::ThermalState thermalState() override { return thermal; }
  bool registerForSystemPower(Handler registered) override {
    ++registrations;
    if (!registrationWorks) return false;
    handler = std::move(registered);
    return true;
  }
  void allowPowerChange(std::intptr_t notificationID) override { allowed.push_back(notificationID); }

  platform::ThermalState thermal = platform::ThermalState::nominal;
  bool registrationWorks = true;
  int registrations = 0;
  Handler handler;
  std::vector<std::intptr_t> allowed;
};

// Free space set by the test, the same for every path. `script` (when not empty) gives
// the answers of the next measurements in turn, its last one repeating; nullopt is a
// measurement that fails. Every question is counted and its path kept.
class FakeFreeSpace final : public platform::FreeSpace {
 public:
  std::optional<std::int64_t> freeBytes(std::string_view logicalPath) override {
    std::lock_guard lock(mutex);
    paths.emplace_back(logicalPath);
    std::optional<std::int64_t> answer = bytes;
    if (!script.empty()) answer = script[std::min(paths.size(), script.size()) - 1];
    if (!answer) errno = EIO;
    return answer;
  }

  std::mutex mutex;
  std::optional<std::int64_t> bytes = std::int64_t{1} << 40;
  std::vector<std::optional<std::int64_t>> script;
  std::vector<std::string> paths;
};

// Records every signal instead of sending it.
class RecordedSignals final : public platform::ProcessSignals {
 public:
  bool send(pid_t pid, int signal) override {
    std::lock_guard lock(mutex);
    sent.push_back({pid, signal});
    return true;
  }

  std::mutex mutex;
  std::vector<std::pair<pid_t, int>> sent;
};

// Makes no session, as on a machine without mount approval.
class NoDiskArbitration final : public platform::DiskArbitration {
 public:
  std::unique_ptr<platform::DiskArbitrationSession> createSession(platform::SerialQueue&) override { return nullptr; }
};

// BSD flags that the test puts on objects of the temporary root (by device and inode),
// kept as a Mac keeps them: removing a flagged entry, or an entry of a flagged directory,
// fails with EPERM, and system flags cannot be cleared. `beforeRemoval` runs first at
// every removal.
class FakeFileFlags final : public platform::FileFlags {
 public:
  void set(const std::string& hostPath, std::uint32_t bits);
  std::optional<platform::FlaggedFileFacts> entryAt(int dirFd, const std::string& name) override;
  bool clearAt(int dirFd, const std::string& name, std::uint32_t bits) override;
  bool removeFileAt(int dirFd, const std::string& name) override { return remove(dirFd, name, 0); }
  bool removeDirectoryAt(int dirFd, const std::string& name) override { return remove(dirFd, name, AT_REMOVEDIR); }

  std::map<std::pair<dev_t, ino_t>, std::uint32_t> flags;
  std::function<void()> beforeRemoval;

 private:
  bool remove(int dirFd, const std::string& name, int how);
};

class TestPlatform {
 public:
  // `wallClock` is handed to code signing (see CodeSigningOptions::wallClock).
  explicit TestPlatform(std::vector<platform::TrustAnchor> anchors = {},
                        std::string selfExecutable = "/proc/self/exe",
                        std::function<std::timespec()> wallClock = {});

  const std::string& rootPath() const { return dir_.path(); }
  platform::Platform& platform() { return *platform_; }

  ManualClock clock;
  FixedProcessFacts facts;
  FakeSmc smc;
  FakeSystemPower power;
  FakeFreeSpace freeSpace;
  RecordedSignals signals;
  NoDiskArbitration diskArbitration;
  FakeFileFlags fileFlags;

 private:
  TempDir dir_;
  platform::UniqueFd root_;
  std::unique_ptr<platform::CodeSigning> codeSigning_;
  std::unique_ptr<platform::ProcessLauncher> launcher_;
  std::unique_ptr<platform::Platform> platform_;
};

}  // namespace tidewarden::testing
