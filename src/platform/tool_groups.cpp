// Tool group records: their text form, their directory, and the ending of a previous life's tools.
#include "platform/tool_groups.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <set>
#include <stdexcept>

#include "platform/directory_io.h"
#include "platform/file_io.h"

namespace tidewarden::platform {
namespace {

constexpr std::size_t kBootIdCharacters = 36;
constexpr std::uint64_t kMaxGroup = 2147483647;
constexpr const char* kRecordSuffix = ".group";
constexpr const char* kTemporarySuffix = ".tmp";
// Record files set aside while the volume has space: a record is written over one in
// place (no new blocks) and renamed to its group's name, and a forgotten record becomes
// a spare again. A tool can then still be recorded, and so started, on a full volume.
constexpr int kSpareSlots = 16;
constexpr const char* kSparePrefix = "spare-";
constexpr const char* kSpareSuffix = ".slot";
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kForeignWriteBits = 022;
// /proc holds one entry per process; the kernel's own limit on processes is far below.
constexpr std::size_t kMaxProcesses = 1u << 23;
constexpr std::size_t kMaxStatBytes = 4096;
constexpr std::size_t kMaxListedRecords = 4096;
// How long a look made before a new creation waits for a group it killed again.
constexpr int kRecheckBoundMilliseconds = 1000;
constexpr int kEndLookMilliseconds = 50;
// Stands, among the names in doubt, for a directory that could not be listed.
const std::string kUnlisted;
// Fields of /proc/PID/stat after the command's closing parenthesis: state (3), process
// group (5), start time (22).
constexpr std::size_t kStateField = 0;
constexpr std::size_t kGroupField = 2;
constexpr std::size_t kStartField = 19;

std::optional<std::uint64_t> canonicalDecimal(std::string_view piece) {
  if (piece.empty() || (piece.size() > 1 && piece[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
  return value;
}

bool isBootId(std::string_view text) {
  if (text.size() != kBootIdCharacters) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isPlainPath(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// One line "<key> <value>\n" at the front of `text`: its value, with the line consumed.
std::optional<std::string_view> takeLine(std::string_view& text, std::string_view key) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end + 1);
  if (!line.starts_with(key) || line.size() <= key.size() || line[key.size()] != ' ') return std::nullopt;
  return line.substr(key.size() + 1);
}

struct ProcessState {
  pid_t pid = 0;
  bool running = false;  // neither a zombie nor dead
  pid_t group = 0;
  std::uint64_t start = 0;
};

std::optional<ProcessState> processState(pid_t pid) {
  const UniqueFd file(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!file || !readAll(file.get(), text, kMaxStatBytes)) return std::nullopt;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::vector<std::string_view> fields;
  std::string_view rest = std::string_view(text).substr(close + 1);
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = rest.find_first_of(" \n");
    fields.push_back(rest.substr(0, end));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  if (fields.size() <= kStartField || fields[kStateField].size() != 1) return std::nullopt;
  const auto group = canonicalDecimal(fields[kGroupField]);
  const auto start = canonicalDecimal(fields[kStartField]);
  if (!group || !start || *group > kMaxGroup) return std::nullopt;
  const char state = fields[kStateField][0];
  return ProcessState{pid, state != 'Z' && state != 'X' && state != 'x', static_cast<pid_t>(*group), *start};
}

// The running processes of `group` that started in [from, before).
std::vector<ProcessState> members(pid_t group, std::uint64_t from, std::uint64_t before) {
  std::vector<ProcessState> found;
  const UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::optional<DirectoryListing> listing = proc ? listDirectory(proc.get(), kMaxProcesses) : std::nullopt;
  if (!listing) return found;
  for (const std::string& name : listing->names) {
    const auto pid = canonicalDecimal(name);
    if (!pid || *pid > kMaxGroup) continue;
    const auto state = processState(static_cast<pid_t>(*pid));
    if (state && state->running && state->group == group && state->start >= from && state->start < before) {
      found.push_back(*state);
    }
  }
  return found;
}

// SIGKILL to the process that `state` describes, through a descriptor of it taken before
// its start time is looked at again, so a pid that was reused meanwhile is never hit.
void endProcess(const ProcessState& state) {
  const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, state.pid, 0)));
  if (!process) return;
  const auto now = processState(state.pid);
  if (!now || now->start != state.start) return;
  ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);
}

std::string machineBootId() {
  const UniqueFd file(::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
  std::string text;
  if (!file || !readAll(file.get(), text, kBootIdCharacters + 1) || !text.ends_with('\n')) {
    throw std::runtime_error("Cannot read the machine's boot id.");
  }
  text.pop_back();
  if (!isBootId(text)) throw std::runtime_error("The machine's boot id is not understood.");
  return text;
}

std::optional<pid_t> groupOfRecordName(const std::string& name) {
  if (!name.ends_with(kRecordSuffix)) return std::nullopt;
  const auto group = canonicalDecimal(std::string_view(name).substr(0, name.size() - std::string_view(kRecordSuffix).size()));
  if (!group || *group == 0 || *group > kMaxGroup) return std::nullopt;
  return static_cast<pid_t>(*group);
}

std::string spareName(int index) { return kSparePrefix + std::to_string(index) + kSpareSuffix; }

bool isSpareName(const std::string& name) {
  if (!name.starts_with(kSparePrefix) || !name.ends_with(kSpareSuffix)) return false;
  const std::string_view number =
      std::string_view(name).substr(std::string_view(kSparePrefix).size(),
                                    name.size() - std::string_view(kSparePrefix).size() - std::string_view(kSpareSuffix).size());
  const auto index = canonicalDecimal(number);
  return index && *index < static_cast<std::uint64_t>(kSpareSlots);
}

// Records are written padded with zero bytes to the size of a slot.
std::string padded(std::string text) {
  text.resize(ToolGroupRecord::kMaxTextBytes, '\0');
  return text;
}

// The record text of a file's bytes: up to the padding, which must be zero bytes only.
std::optional<std::string_view> unpadded(std::string_view bytes) {
  const std::size_t end = bytes.find('\0');
  if (end == std::string_view::npos) return bytes;
  if (bytes.find_first_not_of('\0', end) != std::string_view::npos) return std::nullopt;
  return bytes.substr(0, end);
}

}  // namespace

std::optional<std::string> ToolGroupRecord::text() const {
  if (!isBootId(boot) || group <= 0 || !isPlainPath(executable)) return std::nullopt;
  std::string out = std::string(kHeader) + "\nboot " + boot + "\ngroup " + std::to_string(group) + "\nstart " +
                    std::to_string(leaderStart) + "\nexecutable " + executable + "\n";
  if (out.size() > kMaxTextBytes) return std::nullopt;
  return out;
}

std::optional<ToolGroupRecord> ToolGroupRecord::parse(std::string_view text) {
  if (text.size() > kMaxTextBytes || !text.starts_with(std::string(kHeader) + "\n")) return std::nullopt;
  text.remove_prefix(kHeader.size() + 1);
  const auto boot = takeLine(text, "boot");
  const auto group = takeLine(text, "group");
  const auto start = takeLine(text, "start");
  const auto executable = takeLine(text, "executable");
  if (!boot || !group || !start || !executable || !text.empty()) return std::nullopt;
  const auto groupNumber = canonicalDecimal(*group);
  const auto startNumber = canonicalDecimal(*start);
  if (!isBootId(*boot) || !groupNumber || *groupNumber == 0 || *groupNumber > kMaxGroup || !startNumber ||
      !isPlainPath(*executable)) {
    return std::nullopt;
  }
  return ToolGroupRecord{std::string(*boot), static_cast<pid_t>(*groupNumber), *startNumber, std::string(*executable)};
}

ToolGroups::ToolGroups(const UniqueFd& root, std::string directory)
    : root_(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0)), directory_(std::move(directory)), boot_(machineBootId()) {
  for (std::size_t at = 1; at < directory_.size();) {
    const std::size_t end = std::min(directory_.find('/', at), directory_.size());
    components_.push_back(directory_.substr(at, end - at));
    at = end + 1;
  }
  if (components_.size() < 2) throw std::runtime_error("The tool record directory needs two folders of its own.");
  if (!root_) throw std::runtime_error("Cannot keep the root for tool records: " + errnoText(errno));
  const auto own = processState(::getpid());
  if (!own) throw std::runtime_error("Cannot read the helper's own start time.");
  ownStart_ = own->start;
}

std::optional<UniqueFd> ToolGroups::openDirectory(bool create) {
  UniqueFd current = openAt(root_.get(), ".", O_RDONLY | O_DIRECTORY);
  if (!current) return std::nullopt;
  for (std::size_t i = 0; i < components_.size(); ++i) {
    const std::string& component = components_[i];
    const bool ours = i + 2 >= components_.size();
    if (create && ours && !makeDirectoryAt(current.get(), component, i + 1 == components_.size() ? 0700 : 0755)) {
      return std::nullopt;
    }
    UniqueFd next = openAt(current.get(), component, O_RDONLY | O_DIRECTORY);
    if (!next) return std::nullopt;
    const auto facts = fileFacts(next.get());
    if (!facts || facts->owner != 0 || (facts->permissions & kForeignWriteBits) != 0) {
      errno = EPERM;
      return std::nullopt;
    }
    current = std::move(next);
  }
  return current;
}

bool ToolGroups::record(pid_t pid, const std::string& executable) {
  const auto leader = processState(pid);
  if (!leader) {
    errno = ESRCH;
    return false;
  }
  const std::optional<std::string> text = ToolGroupRecord{boot_, pid, leader->start, executable}.text();
  if (!text) {
    errno = EINVAL;
    return false;
  }
  const std::optional<UniqueFd> directory = openDirectory(/*create=*/true);
  if (!directory) return false;
  const std::string name = std::to_string(pid);
  const std::string bytes = padded(*text);
  std::lock_guard lock(spareMutex_);
  for (int index = 0; index < kSpareSlots; ++index) {
    const std::string spare = spareName(index);
    const UniqueFd file = openAt(directory->get(), spare, O_WRONLY | O_NOFOLLOW | O_NONBLOCK);
    const auto facts = file ? fileFacts(file.get()) : std::nullopt;
    if (!facts || !facts->regular || facts->size != static_cast<off_t>(bytes.size())) continue;
    // Under its spare name until written and synced: a record is never seen half-written.
    if (writeAllAt(file.get(), 0, bytes) && ::fdatasync(file.get()) == 0 &&
        ::renameat(directory->get(), spare.c_str(), directory->get(), (name + kRecordSuffix).c_str()) == 0 &&
        ::fsync(directory->get()) == 0) {
      return true;
    }
  }
  return replaceFileAtomically(directory->get(), name + kRecordSuffix, name + kTemporarySuffix, bytes, kRecordMode) ==
         ReplaceResult::replaced;
}

void ToolGroups::forget(pid_t pid) {
  const std::optional<UniqueFd> directory = openDirectory(/*create=*/false);
  if (!directory) return;
  const std::string name = std::to_string(pid) + kRecordSuffix;
  std::lock_guard lock(spareMutex_);
  const auto facts = fileFactsAt(directory->get(), name);
  if (facts && facts->regular && facts->size == static_cast<off_t>(ToolGroupRecord::kMaxTextBytes)) {
    for (int index = 0; index < kSpareSlots; ++index) {
      const std::string spare = spareName(index);
      if (fileFactsAt(directory->get(), spare) || errno != ENOENT) continue;
      if (::renameat(directory->get(), name.c_str(), directory->get(), spare.c_str()) == 0) return;
      break;
    }
  }
  removeFileAt(directory->get(), name);
}

void ToolGroups::setSparesAside(int directory) {
  std::lock_guard lock(spareMutex_);
  const std::string zeros = padded("");
  for (int index = 0; index < kSpareSlots; ++index) {
    const std::string spare = spareName(index);
    if (fileFactsAt(directory, spare) || errno != ENOENT) continue;
    // Best effort: without spares, records are written to new files.
    if (replaceFileAtomically(directory, spare, spare + kTemporarySuffix, zeros, kRecordMode) != ReplaceResult::replaced) {
      return;
    }
  }
}

bool ToolGroups::settle(int directory, const std::string& name, int boundMilliseconds, std::vector<std::string>* log) {
  auto say = [&](const std::string& line) {
    if (log) log->push_back(line);
  };
  auto settled = [&](const std::string& line) {
    if (removeFileAt(directory, name) || errno == ENOENT) {
      say(line);
      return true;
    }
    say(line + " Its record could not be removed: " + errnoText(errno) + ".");
    return false;
  };
  if (name.ends_with(kTemporarySuffix) && groupOfRecordName(name.substr(0, name.size() - 4) + kRecordSuffix)) {
    // A record whose write was cut short: its tool never got past its start.
    return settled("Removed the unfinished tool record " + name + ".");
  }
  if (isSpareName(name)) return true;
  if (name.ends_with(kTemporarySuffix) && isSpareName(name.substr(0, name.size() - 4))) {
    return settled("Removed the unfinished spare tool record " + name + ".");
  }
  const std::optional<pid_t> named = groupOfRecordName(name);
  const UniqueFd file = openAt(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!file && errno == ENOENT) return true;
  std::optional<ToolGroupRecord> record;
  const auto facts = file ? fileFacts(file.get()) : std::nullopt;
  std::string text;
  if (facts && facts->regular && facts->owner == 0 && facts->links == 1 &&
      facts->size <= static_cast<off_t>(ToolGroupRecord::kMaxTextBytes) &&
      readAll(file.get(), text, ToolGroupRecord::kMaxTextBytes)) {
    const auto recorded = unpadded(text);
    if (recorded) record = ToolGroupRecord::parse(*recorded);
  }
  if (!record || !named || record->group != *named) {
    // Whatever it named may still run: in doubt for as long as its group (when the name
    // tells one) has any running process.
    if (named && members(*named, 0, ownStart_).empty()) {
      return settled("Removed the unreadable tool record " + name + ": no process of group " + std::to_string(*named) +
                     " runs.");
    }
    say("Cannot read the tool record " + name + " in " + directory_ +
        "; a tool of the previous helper may still run. Rescue Drive creations are refused until it is gone.");
    return false;
  }
  const std::string what = record->executable + " (process group " + std::to_string(record->group) + ")";
  if (record->boot != boot_) return settled("Removed the record of " + what + ": it is from an earlier boot.");
  // A tool of this life, met when a directory that could not be listed at start-up is
  // listed at last: not in doubt, and not ours to end here.
  if (record->leaderStart >= ownStart_) return true;
  const auto leader = processState(record->group);
  if (leader && leader->start != record->leaderStart) {
    return settled("Removed the record of " + what + ": its process id now belongs to another process, left alone.");
  }
  std::set<pid_t> ended;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMilliseconds);
  for (;;) {
    const std::vector<ProcessState> running = members(record->group, record->leaderStart, ownStart_);
    if (running.empty()) break;
    for (const ProcessState& process : running) {
      endProcess(process);
      ended.insert(process.pid);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      say(what + " of the previous helper did not end within " + std::to_string(boundMilliseconds / 1000) +
          " s of SIGKILL; Rescue Drive creations are refused until it has.");
      return false;
    }
    ::poll(nullptr, 0, kEndLookMilliseconds);
  }
  if (ended.empty()) return settled("No process of " + what + " of the previous helper was still running.");
  return settled("Ended " + std::to_string(ended.size()) + " process(es) of " + what +
                 " that the previous helper left running.");
}

std::vector<std::string> ToolGroups::endPreviousLife() {
  std::vector<std::string> log;
  std::lock_guard lock(mutex_);
  const std::optional<UniqueFd> directory = openDirectory(/*create=*/false);
  if (!directory) {
    if (errno != ENOENT) {
      log.push_back("Cannot open " + directory_ + ": " + errnoText(errno) +
                    ". Rescue Drive creations are refused until it can be read.");
      doubtful_.push_back(kUnlisted);
    }
    return log;
  }
  const std::optional<DirectoryListing> listing = listDirectory(directory->get(), kMaxListedRecords);
  if (!listing || listing->truncated) {
    log.push_back("Cannot list " + directory_ + ". Rescue Drive creations are refused until it can be.");
    doubtful_.push_back(kUnlisted);
    return log;
  }
  for (const std::string& name : listing->names) {
    if (!settle(directory->get(), name, kEndBoundMilliseconds, &log)) doubtful_.push_back(name);
  }
  setSparesAside(directory->get());
  return log;
}

std::optional<std::string> ToolGroups::doubt() {
  std::lock_guard lock(mutex_);
  if (doubtful_.empty()) return std::nullopt;
  const std::optional<UniqueFd> directory = openDirectory(/*create=*/false);
  if (!directory) {
    if (errno != ENOENT) return kDoubtMessage;
    doubtful_.clear();
    return std::nullopt;
  }
  std::vector<std::string> names = doubtful_;
  if (std::find(names.begin(), names.end(), kUnlisted) != names.end()) {
    const std::optional<DirectoryListing> listing = listDirectory(directory->get(), kMaxListedRecords);
    if (!listing || listing->truncated) return kDoubtMessage;
    names = listing->names;
  }
  std::vector<std::string> remaining;
  for (const std::string& name : names) {
    if (!settle(directory->get(), name, kRecheckBoundMilliseconds, nullptr)) remaining.push_back(name);
  }
  doubtful_ = std::move(remaining);
  if (doubtful_.empty()) return std::nullopt;
  return kDoubtMessage;
}

}  // namespace tidewarden::platform
