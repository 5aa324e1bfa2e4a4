// Pure readers of system tool output: lsof field records and hdiutil's attached-image list.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/activity_evidence.h"

namespace tidewarden::storage {

// One open file from lsof's field output (-F): the process, the descriptor (a number
// or one of "cwd", "rtd", "txt", "mem") and the path as lsof spelled it.
struct LsofOpenFile {
  pid_t pid = 0;
  std::string descriptor;
  std::string path;

  friend bool operator==(const LsofOpenFile&, const LsofOpenFile&) = default;
};

// The records, or why the output cannot be trusted (`unknownReason` set).
struct LsofFieldReading {
  std::vector<LsofOpenFile> files;
  std::optional<std::string> unknownReason;
};

inline constexpr const char* kLsofProcessMalformedMessage = "Preparation open-file process records are malformed.";
inline constexpr const char* kLsofDescriptorIncompleteMessage =
    "Preparation file-descriptor records are incomplete.";
inline constexpr const char* kLsofRecordsIncompleteMessage = "Preparation open-file records are incomplete.";
inline constexpr const char* kLsofUnsupportedRecordMessage =
    "Preparation open-file output contains an unsupported record.";
inline constexpr const char* kLsofUndecodableMessage = "Preparation open-file output could not be verified.";

// Reads lsof -F output, one field per line, the first character naming the field:
// "p" + a decimal process id above zero starts a process set; "f" + a decimal
// descriptor or "cwd", "rtd", "txt", "mem" opens a file within it; "n" + the path
// completes that file. Every file needs its one name, and every process set at least
// one file (lsof prints a process only for a file it matched). Anything else (an
// empty line, a field out of order, another field letter, text that is not UTF-8) is
// unknown with one of the messages above. A last line without its line feed is read
// as a line.
LsofFieldReading readLsofFieldRecords(std::string_view output);

// The command of every process in ps -axo comm= output, or nothing when the output is
// not such a listing. Each line, with surrounding white space trimmed, must be a
// command: valid UTF-8 without control characters, either an executable's absolute
// path or one word without "/" (as ps shows a process whose path it cannot read).
// And the listing must hold launchd ("/sbin/launchd"), the first process of every
// Mac: a listing of all processes without it is not one. An empty line, a line in
// another of ps's forms ("  512 /usr/sbin/softwareupdate --background", a header)
// or text that is not a listing at all therefore gives nothing, never "no such
// process". Returned commands are trimmed, as printed.
std::optional<std::vector<std::string>> readProcessCommands(std::string_view output);
inline constexpr std::string_view kFirstProcessCommand = "/sbin/launchd";

// Reads hdiutil info -plist: a dictionary whose "images" array holds, per image, a
// string "image-path" and an array "system-entities" of dictionaries, each with a
// string "dev-entry" and optionally a string "mount-point". Paths are put in their
// canonical spelling (one that has none: unknown with "Malformed preparation path: "
// and the value); empty device and mount strings are skipped; any other missing key
// or wrong type is unknown with kAttachedImagesUnsupportedMessage.
AttachedImagesAnswer readAttachedImageList(std::string_view plist);

}  // namespace tidewarden::storage
