// The only way the Rescue Drive subsystem asks diskutil anything: an allowlist of read-only queries and their capture.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/property_list.h"

namespace tidewarden::platform {
class Clock;
class ProcessLauncher;
struct Platform;
}  // namespace tidewarden::platform

namespace tidewarden::rescue {

// A read-only question to diskutil: the arguments in, the answer's property-list
// dictionary out. Fails by throwing RescueDestinationError with the user-facing text.
using DiskQuery = std::function<platform::PropertyList(const std::vector<std::string>& arguments)>;

inline constexpr const char* kUnsupportedDiskQueryMessage = "Unsupported read-only disk query.";
inline constexpr double kDiskQueryTimeLimitSeconds = 15;
// The longest wait between two looks at the clock; the end of the child wakes the wait at once.
inline constexpr double kDiskQueryPollSeconds = 0.05;
// A terminated query gets this long to end before it is killed.
inline constexpr double kDiskQueryTerminationGraceSeconds = 1;
// A killed query gets this long to end; then it is reaped in the background.
inline constexpr double kDiskQueryKillWaitSeconds = 3;
// diskutil's answers are a few kilobytes; more than this is not an answer we read.
inline constexpr std::size_t kRescuePlistCaptureLimitBytes = 2097152;

// The captured standard output of one query: filled by the query's reader under `lock`;
// `complete` only once end of file was read within the limit.
struct RescuePlistBuffer {
  std::mutex lock;
  std::string bytes;
  bool complete = false;
};

// True for exactly the argument lists the subsystem may run: list -plist external
// physical; apfs list -plist; info -plist /; info -plist X where X begins with
// "/dev/disk" or "/Volumes/".
bool isAllowedDiskQuery(const std::vector<std::string>& arguments);

// Runs "/usr/sbin/diskutil" with `arguments` through `launcher`, with PATH as its whole
// environment, for at most 15 s of `clock`'s uptime (a child still running then is
// terminated, then killed; one that a kill does not end within 3 s is reaped in the
// background), and parses its standard output as a property-list dictionary. Refuses
// an argument list outside the allowlist with kUnsupportedDiskQueryMessage before any
// process starts. A failed start, a non-zero exit, the time limit, an incomplete
// capture or an answer that is not a dictionary throws
// "diskutil ARGS failed or returned incomplete metadata (exit N, timeout true|false)".
platform::PropertyList readOnlyDiskQuery(platform::ProcessLauncher& launcher, platform::Clock& clock,
                                         const std::vector<std::string>& arguments);

// readOnlyDiskQuery on the platform's launcher and clock.
DiskQuery platformDiskQuery(const platform::Platform& platform);

}  // namespace tidewarden::rescue
