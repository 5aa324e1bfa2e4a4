// Re-reading a launchd startup item from disk and judging it on its own evidence before anything is moved.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory_entries.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {

// The code-signature class of the program a daemon runs.
// `unsignedCode` is the class called "unsigned" (a reserved word here).
enum class RepairSignatureKind { apple, developerID, adhoc, unsignedCode, unknown };

// A file as the evaluation judged it: the directory that held it, opened with no link
// followed, and the file's identity. A later move acts only on this very file in this
// very directory (see BackgroundQuarantineEngine).
struct PinnedFile {
  std::string path;  // standardized logical path
  platform::UniqueFd directory;
  platform::EntryStatus directoryIdentity;
  platform::EntryStatus identity;
};

// What the evaluation found; never sent on the wire.
struct InspectedStartupItem {
  std::string label;                              // the property list's Label (equal to the request's)
  std::string plistURL;                           // standardized property-list path
  std::string launchTarget;                       // the file the daemon runs (the script of an interpreter)
  std::optional<std::string> relatedExecutable;   // an executable the launch target script names
  bool appleLikeLabel = false;                    // the label begins with "com.apple."
  bool userWritable = false;                      // a judged program lies in a user-writable area
  bool hiddenPath = false;                        // a judged program has a hidden path component
  RepairSignatureKind signature = RepairSignatureKind::unknown;  // of the examined program
  std::optional<std::string> owner;               // owner account of the examined program
  std::vector<std::string> scriptSignals;         // warning phrases of the launch target script
  // Set when the search for a related executable could not be completed (its candidate
  // limit, or the pattern engine gave up): the sentence that says so. The program the
  // script runs is then unknown, and so are its signature and owner: never "none".
  std::optional<std::string> relatedSearchGap;

  // The property list, the launch target and the related executable as judged.
  std::vector<PinnedFile> pinned;

  // relatedExecutable when present, else launchTarget: the program whose signature and
  // owner were examined.
  const std::string& examinedProgram() const { return relatedExecutable ? *relatedExecutable : launchTarget; }
  const PinnedFile* pinnedFile(std::string_view path) const;
};

// The folder of system launch daemons, the only place items are taken from.
inline constexpr std::string_view kLaunchDaemonsFolder = "/Library/LaunchDaemons";
// Scripts larger than this are neither searched nor scanned; their size comes from the
// file's status, before any byte is read.
inline constexpr long kMaxScannedScriptBytes = 65536;
// The largest property list read.
inline constexpr std::size_t kMaxPropertyListBytes = 1 << 20;
// Quoted paths examined in one script at most.
inline constexpr std::size_t kMaxRelatedCandidates = 1024;

// Re-reads the item named by `request` and judges it. Writes nothing and runs nothing.
// Throws BackgroundQuarantineError (unsafePath, identityChanged, targetNotFound) or a
// std::runtime_error whose text names the property list that could not be read or parsed.
InspectedStartupItem evaluateStartupItem(platform::Platform& platform, const BackgroundQuarantineRequest& request);

// The evidence score and the number of kinds of warning sign.
struct EvidenceScore {
  int score = 0;
  int count = 0;
};
EvidenceScore evidenceScore(const InspectedStartupItem& item);
// Passes only with a score of at least 8 from at least 3 kinds of sign; otherwise throws
// insufficientEvidence, followed by the related-search gap when there was one.
void checkEvidence(const InspectedStartupItem& item);

// The signature class of the code at `path` (a logical path that is walked as given).
RepairSignatureKind signatureKind(platform::CodeSigning& codeSigning, const std::string& path);

// The script warning phrases found in `text` (already known to be UTF-8), in order.
std::vector<std::string> scriptSignalsIn(std::string_view text);

}  // namespace tidewarden::quarantine
