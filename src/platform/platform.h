// The bundle of platform services that every engine receives at construction.
#pragma once

#include "platform/unique_fd.h"

namespace tidewarden::platform {

class Clock;
class CodeSigning;
class DiskArbitration;
class FileFlags;
class FreeSpace;
class ProcessFacts;
class ProcessLauncher;
class ProcessSignals;
class SmcClient;
class SystemPower;

// References only: the composition root (the helper's main, or the simulator) owns
// every service and outlives every engine built from this bundle.
struct Platform {
  // The directory that stands for "/": every logical path is walked from here.
  const UniqueFd& root;
  Clock& clock;
  ProcessFacts& processFacts;
  CodeSigning& codeSigning;
  ProcessLauncher& launcher;
  // The System Management Controller (fan registers and temperatures).
  SmcClient& smc;
  // Thermal pressure and sleep notices.
  SystemPower& power;
  // Free bytes of the volume holding a logical path (the free-space watch of tool runs).
  FreeSpace& freeSpace;
  // Signals to processes the helper did not start itself.
  ProcessSignals& signals;
  // Disk descriptions and mount approval (Rescue Drive sibling protection).
  DiskArbitration& diskArbitration;
  // BSD file flags, and the removals of reviewed entries that they may forbid.
  FileFlags& fileFlags;
};

}  // namespace tidewarden::platform
