// A guest process read through its pinned /proc/<pid> directory: start time, tracer, executable mappings.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/code_signing_seal.h"

namespace tidewarden::platform::codesign {

// Directories whose root-owned libraries a guest may map as code (and everything below).
inline constexpr std::string_view kSystemLibraryDirectories[] = {"/lib/", "/lib64/", "/usr/lib/", "/usr/lib64/"};
// /proc/<pid>/maps longer than this is refused rather than read on (a small client maps
// a few hundred regions, a few tens of KiB).
inline constexpr std::size_t kMaxProcMapsBytes = 4 * 1024 * 1024;

struct ProcessStat {
  char state = '?';
  unsigned long long startTime = 0;
};

// Reads /proc/<pid>/stat through the process directory descriptor.
std::optional<ProcessStat> readProcessStat(int processDirectory);
bool isLive(const ProcessStat& stat);

// Linux stand-in for what the hardened runtime and library validation guarantee a
// signed macOS client: nobody is attached to it, and every piece of code it maps is
// either its own signed executable or a system library that only root can have written.
// Reads "status" and "maps" through `processDirectory` (bound to the process instance,
// so a reused pid cannot answer for it) and examines each mapped file through
// "map_files", which needs CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE, as the helper has as
// root; without it every library mapping is refused. Any failure: kErrSecCSGuestInvalid
// with a detail naming the reason.
//
// It sees the process at one moment: callers check before hashing and again after, so a
// library loaded while the executable was hashed is caught too. Code that unmaps itself
// before the first look is out of its reach; the client's non-dumpable flag keeps other
// processes from placing code in it at run time.
Outcome checkGuestProcess(int processDirectory, const struct stat& executable);

// The tracer rule on the text of /proc/<pid>/status: TracerPid must be present and 0.
Outcome checkTracer(std::string_view status);

// Stats the file mapped at a range ("start-end" as /proc names it in map_files); nullopt
// when it cannot.
using ExamineMapping = std::function<std::optional<struct stat>(const std::string& range)>;

// The mapping rule on the text of /proc/<pid>/maps. Every executable mapping must be one
// of: [vdso] or [vsyscall]; the file `executable` (same device and inode); or a regular
// file under kSystemLibraryDirectories, not deleted, owned by root and writable by
// neither group nor others. Anonymous executable memory, deleted and memfd files are
// refused.
Outcome checkExecutableMappings(std::string_view maps, const struct stat& executable, const ExamineMapping& examine);

}  // namespace tidewarden::platform::codesign
