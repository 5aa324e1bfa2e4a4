// The process groups of started tools, recorded on disk so that the helper's next life ends what its last one left.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace tidewarden::platform {

// One started tool: its process group (led by the tool, so the group id is its pid),
// identified across a helper's death by the boot it ran in and the leader's start time.
//
// Text form, five lines, each ending in "\n":
//   tidewarden tool group 1
//   boot <the kernel's boot id: 36 characters, lower-case hex digits and hyphens>
//   group <decimal, 1...2147483647>
//   start <decimal: the leader's start time in clock ticks after boot>
//   executable <the absolute logical path that was started; no control characters>
// Decimals have no sign and no leading zero.
struct ToolGroupRecord {
  static constexpr std::string_view kHeader = "tidewarden tool group 1";
  static constexpr std::size_t kMaxTextBytes = 4096;

  std::string boot;
  pid_t group = 0;
  std::uint64_t leaderStart = 0;
  std::string executable;

  bool operator==(const ToolGroupRecord&) const = default;
  // Nothing when a field cannot be written in the text form (parse() would refuse it).
  std::optional<std::string> text() const;
  // Strict inverse of text().
  static std::optional<ToolGroupRecord> parse(std::string_view text);
};

// The records of one helper's tools in a root-owned directory (kDirectory on the Mac;
// each record "<group>.group", 0600, padded with zero bytes to kMaxTextBytes, written
// whole and synced before it takes that name, preferably over a spare record file set
// aside at start-up so that a full volume still takes one), and
// the ending of what a previous life left running. Processes are read from the machine's
// own /proc, also in simulation, where the tools are real processes.
class ToolGroups {
 public:
  static constexpr const char* kDirectory = "/Library/Application Support/Tidewarden/ToolGroups";
  // Where a helper on Linux keeps them: Linux has no /Library.
  static constexpr const char* kLinuxDirectory = "/var/lib/tidewarden/ToolGroups";
  // How long start-up waits for a group it killed to be gone.
  static constexpr int kEndBoundMilliseconds = 10000;
  static constexpr const char* kDoubtMessage =
      "A tool the helper started before it last restarted may still be writing to a disk. No disk was erased. Try "
      "again once it has ended; restarting the Mac ends it.";

  // Keeps a duplicate of `root`; `directory` is an absolute logical path whose last two
  // folders are created (0755, then 0700) when missing, every folder on it root-owned and
  // writable by no one else. Throws std::runtime_error when the machine's boot id or the
  // helper's own start time cannot be read.
  explicit ToolGroups(const UniqueFd& root, std::string directory = kDirectory);

  // Records the unreaped child `pid` (which leads its own group and has not run its
  // tool yet) durably. False with errno when it could not be.
  bool record(pid_t pid, const std::string& executable);
  // Removes the record of `pid` (once reaped).
  void forget(pid_t pid);

  // Start-up, before anything of this life is recorded: ends every group a previous life
  // recorded that still runs, waits (bounded) for it to go, and clears the records.
  // Returns one log line per record; a record that cannot be read or a group that did not
  // end stays, in doubt.
  std::vector<std::string> endPreviousLife();
  // kDoubtMessage while a tool of a previous life may still run; looks again each time
  // (ending what it can) and forgets what has ended.
  std::optional<std::string> doubt();

 private:
  std::optional<UniqueFd> openDirectory(bool create);
  // Whether the record `name` is settled (its group ended, or the record stale), in which
  // case it is removed; appends a log line when `log` is given.
  bool settle(int directory, const std::string& name, int boundMilliseconds, std::vector<std::string>* log);
  // Creates the spare record files that are missing, while there is space for them.
  void setSparesAside(int directory);

  UniqueFd root_;
  std::string directory_;
  std::vector<std::string> components_;
  std::string boot_;
  std::uint64_t ownStart_ = 0;
  std::mutex mutex_;
  std::mutex spareMutex_;  // taking and giving back spare record files
  std::vector<std::string> doubtful_;  // record names of a previous life not yet settled
};

}  // namespace tidewarden::platform
