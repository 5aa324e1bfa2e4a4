// The production platform bundle: every service on the machine's own "/".
#pragma once

#include <memory>
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
#include "platform/smc_client.h"
#include "platform/system_power.h"
#include "platform/trust_anchor.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// Owns the services the helper runs on and the bundle that refers to them. Built once
// by the composition root (the helper's main, a benchmark) with the anchors code
// signing trusts; throws std::runtime_error when "/" cannot be opened.
class LinuxPlatform {
 public:
  explicit LinuxPlatform(std::vector<TrustAnchor> anchors);
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  Platform& platform() { return *platform_; }

 private:
  UniqueFd root_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<ProcessFacts> facts_;
  std::unique_ptr<CodeSigning> codeSigning_;
  std::unique_ptr<ProcessLauncher> launcher_;
  std::unique_ptr<SmcClient> smc_;
  std::unique_ptr<SystemPower> power_;
  std::unique_ptr<FreeSpace> freeSpace_;
  std::unique_ptr<ProcessSignals> signals_;
  std::unique_ptr<DiskArbitration> diskArbitration_;
  std::unique_ptr<FileFlags> fileFlags_;
  std::unique_ptr<Platform> platform_;
};

}  // namespace tidewarden::platform
