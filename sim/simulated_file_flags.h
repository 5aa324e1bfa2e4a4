// BSD file flags on the simulated Mac: kept in the world with each object and enforced as macOS enforces them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_flags.h"
#include "sim/world.h"
#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

// The platform's FileFlags of the simulated Mac, as strict as macOS at its normal
// security level:
//   - unlinking or removing an entry that carries uchg, uappnd, schg, sappnd,
//     restricted or sunlnk, or any entry of a directory that carries uchg, uappnd,
//     schg, sappnd or restricted, fails with EPERM and changes nothing;
//   - the owner or root may clear user flags (uchg, uappnd, hidden...); system flags
//     (schg, sappnd...) are not cleared by anyone (EPERM);
//   - hidden, compressed and nodump forbid nothing;
//   - a change of flags changes the object's change time, as chflags(2) does.
// Flags are read from the world as it is at each question (see WorldCache), from the
// record of the entry's object (WorldFileFlags), never of a former file with its inode
// number; an entry whose object cannot be told has flags that cannot be known. A
// removal that takes the last name of a flagged object drops its record.
class SimulatedFileFlags final : public platform::FileFlags {
 public:
  explicit SimulatedFileFlags(std::string worldDirectory);

  std::optional<platform::FlaggedFileFacts> entryAt(int dirFd, const std::string& name) override;
  bool clearAt(int dirFd, const std::string& name, std::uint32_t flags) override;
  bool removeFileAt(int dirFd, const std::string& name) override { return remove(dirFd, name, false); }
  bool removeDirectoryAt(int dirFd, const std::string& name) override { return remove(dirFd, name, true); }

 private:
  bool remove(int dirFd, const std::string& name, bool directory);

  const std::string directory_;
  WorldCache world_;
};

inline constexpr std::string_view kFileFlagsVerbSynopsis = "file-flags PATH FLAG[,FLAG...]|none";
inline constexpr std::string_view kFileFlagsVerbSummary =
    "set the BSD flags of the object at PATH (not following a link) to exactly these, as chflags(1) names\n"
    "      them: uchg, uappnd, schg, sappnd, hidden, compressed, nodump, opaque, arch, restricted, sunlnk\n"
    "      (none: no flags). They stay with the object, not the path; the helper's removals honour them";

// `tidewarden-sim world file-flags PATH FLAGS`. Throws WorldVerbUsageError or WorldError.
void fileFlagsVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
