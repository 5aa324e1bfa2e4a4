// Guest processes through /proc/<pid>: start time and state, tracer, and the code each one maps.
#include "platform/code_signing_process.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "platform/file_io.h"

namespace tidewarden::platform::codesign {
namespace {

// /proc/<pid>/stat is one short line; anything longer is not trusted.
constexpr std::size_t kMaxProcStatBytes = 4096;
// /proc/<pid>/status is a few dozen short lines.
constexpr std::size_t kMaxProcStatusBytes = 64 * 1024;
// Kernel-made code regions: the vDSO and the legacy vsyscall page.
constexpr std::string_view kKernelCodeRegions[] = {"[vdso]", "[vsyscall]"};
constexpr std::string_view kDeletedSuffix = " (deleted)";

Outcome guestInvalid(std::string detail) { return Outcome{kErrSecCSGuestInvalid, std::move(detail)}; }

// Reads a small file beneath the process directory; false when it cannot be read whole.
bool readProcFile(int processDirectory, const char* name, std::size_t limit, std::string& text) {
  UniqueFd file = openAt(processDirectory, name, O_RDONLY);
  return file && readAll(file.get(), text, limit);
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// The next space-separated field of `line`, skipping the spaces before it.
std::string_view nextField(std::string_view& line) {
  std::size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  std::size_t end = std::min(line.find(' '), line.size());
  std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

// One line of /proc/<pid>/maps: "start-end perms offset major:minor inode   path".
struct Mapping {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool executable = false;
  std::uint64_t inode = 0;
  bool deviceZero = false;
  std::string_view path;  // empty for anonymous memory
};

std::optional<Mapping> parseMapping(std::string_view line) {
  Mapping mapping;
  std::string_view range = nextField(line);
  std::string_view perms = nextField(line);
  std::string_view offset = nextField(line);
  std::string_view device = nextField(line);
  std::string_view inode = nextField(line);
  std::size_t dash = range.find('-');
  std::size_t colon = device.find(':');
  unsigned major = 0;
  unsigned minor = 0;
  std::uint64_t ignored = 0;
  if (dash == std::string_view::npos || !parseNumber(range.substr(0, dash), mapping.start, 16) ||
      !parseNumber(range.substr(dash + 1), mapping.end, 16) || perms.size() != 4 ||
      !parseNumber(offset, ignored, 16) || colon == std::string_view::npos ||
      !parseNumber(device.substr(0, colon), major, 16) || !parseNumber(device.substr(colon + 1), minor, 16) ||
      !parseNumber(inode, mapping.inode)) {
    return std::nullopt;
  }
  mapping.executable = perms[2] == 'x';
  mapping.deviceZero = major == 0 && minor == 0;
  std::size_t pathStart = line.find_first_not_of(' ');
  mapping.path = pathStart == std::string_view::npos ? std::string_view() : line.substr(pathStart);
  return mapping;
}

// The name map_files gives the range: lower-case hexadecimal without padding (maps pads
// addresses to eight digits, so its text cannot be reused as is).
std::string rangeName(const Mapping& mapping) {
  char name[40];
  std::snprintf(name, sizeof name, "%" PRIx64 "-%" PRIx64, mapping.start, mapping.end);
  return name;
}

bool underSystemLibraryDirectory(std::string_view path) {
  if (path.find("/./") != std::string_view::npos || path.find("/../") != std::string_view::npos) return false;
  return std::any_of(std::begin(kSystemLibraryDirectories), std::end(kSystemLibraryDirectories),
                     [&](std::string_view directory) { return path.starts_with(directory); });
}

Outcome checkMapping(const Mapping& mapping, const struct stat& executable, const ExamineMapping& examine) {
  const std::string shown(mapping.path);
  if (mapping.inode == 0 && mapping.deviceZero) {
    if (mapping.path.empty()) return guestInvalid("the process has anonymous executable memory");
    if (std::find(std::begin(kKernelCodeRegions), std::end(kKernelCodeRegions), mapping.path) !=
        std::end(kKernelCodeRegions)) {
      return {};
    }
    return guestInvalid("the process maps code from " + shown);
  }
  std::optional<struct stat> mapped = examine(rangeName(mapping));
  if (!mapped) return guestInvalid("the code the process maps from " + shown + " cannot be examined");
  // The pinned executable is recognised by its inode, whatever its path shows now
  // (it may have been renamed or deleted since the process started).
  if (mapped->st_dev == executable.st_dev && mapped->st_ino == executable.st_ino) return {};
  if (mapping.path.ends_with(kDeletedSuffix)) {
    return guestInvalid("the process maps code from a deleted file: " + shown);
  }
  if (!underSystemLibraryDirectory(mapping.path)) {
    return guestInvalid("the process maps code from " + shown + ", outside the system library directories");
  }
  if (!S_ISREG(mapped->st_mode) || mapped->st_uid != 0 || (mapped->st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return guestInvalid("the process maps code from " + shown + ", which is not a root-owned file only root can write");
  }
  return {};
}

}  // namespace

std::optional<ProcessStat> readProcessStat(int processDirectory) {
  std::string text;
  if (!readProcFile(processDirectory, "stat", kMaxProcStatBytes, text) || text.empty()) return std::nullopt;
  // The command name (field 2) may contain spaces and parentheses, so fields are
  // counted after the last ')'.
  std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
  // Fields from 3 (state) on, separated by single spaces.
  std::string_view rest = std::string_view(text).substr(close + 2);
  ProcessStat stat;
  int field = 3;
  while (!rest.empty()) {
    std::size_t space = rest.find(' ');
    std::string_view value = rest.substr(0, space);
    if (field == 3) {
      if (value.size() != 1) return std::nullopt;
      stat.state = value[0];
    } else if (field == 22) {
      if (!parseNumber(value, stat.startTime)) return std::nullopt;
      return stat;
    }
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
    ++field;
  }
  return std::nullopt;
}

bool isLive(const ProcessStat& stat) { return stat.state != 'Z' && stat.state != 'X' && stat.state != 'x'; }

Outcome checkTracer(std::string_view status) {
  constexpr std::string_view kKey = "\nTracerPid:";
  std::size_t at = status.find(kKey);
  if (at == std::string_view::npos) return guestInvalid("the process status names no tracer field");
  std::string_view value = status.substr(at + kKey.size());
  value = value.substr(0, value.find('\n'));
  value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
  long tracer = -1;
  if (!parseNumber(value, tracer) || tracer < 0) return guestInvalid("the process status has a malformed tracer field");
  if (tracer != 0) return guestInvalid("the process is traced by process " + std::to_string(tracer));
  return {};
}

Outcome checkExecutableMappings(std::string_view maps, const struct stat& executable, const ExamineMapping& examine) {
  while (!maps.empty()) {
    std::size_t newline = maps.find('\n');
    std::string_view line = maps.substr(0, newline);
    maps.remove_prefix(newline == std::string_view::npos ? maps.size() : newline + 1);
    std::optional<Mapping> mapping = parseMapping(line);
    if (!mapping) return guestInvalid("the process memory map is malformed");
    if (!mapping->executable) continue;
    Outcome checked = checkMapping(*mapping, executable, examine);
    if (!checked.ok()) return checked;
  }
  return {};
}

Outcome checkGuestProcess(int processDirectory, const struct stat& executable) {
  std::string status;
  if (!readProcFile(processDirectory, "status", kMaxProcStatusBytes, status)) {
    return guestInvalid("the process status cannot be read");
  }
  Outcome tracer = checkTracer(status);
  if (!tracer.ok()) return tracer;
  std::string maps;
  if (!readProcFile(processDirectory, "maps", kMaxProcMapsBytes, maps)) {
    return guestInvalid(errno == EFBIG ? "the process memory map is too large" : "the process memory map cannot be read");
  }
  UniqueFd mapFiles = openAt(processDirectory, "map_files", O_RDONLY | O_DIRECTORY);
  if (!mapFiles) return guestInvalid("the files the process maps cannot be examined");
  return checkExecutableMappings(maps, executable, [&](const std::string& range) -> std::optional<struct stat> {
    // Follows the kernel's link to the file that is mapped there, whatever its path.
    struct stat st;
    if (::fstatat(mapFiles.get(), range.c_str(), &st, 0) != 0) return std::nullopt;
    return st;
  });
}

}  // namespace tidewarden::platform::codesign
