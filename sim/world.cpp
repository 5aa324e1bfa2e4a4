// The simulated Mac's state on disk: JSON coding of the world record and locked updates.
#include "sim/world.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace tidewarden::sim {
namespace {

using platform::UniqueFd;
using nlohmann::json;

// The largest user id a world may hold: (uid_t)-1 means "no change" to the kernel.
constexpr std::uint64_t kMaxUserId = std::numeric_limits<std::uint32_t>::max() - 1;

std::string pathIn(const std::string& directory, std::string_view name) {
  return directory + "/" + std::string(name);
}

UniqueFd openDirectory(const std::string& directory) {
  // The directory itself is the caller's choice and may be reached through a link;
  // everything inside it is opened relative to this descriptor without following one.
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw WorldError("Cannot open the simulator directory " + directory + ": " + platform::errnoText(errno));
  return fd;
}

// Holds the exclusive world lock until destroyed.
class WorldLock {
 public:
  WorldLock(const UniqueFd& dir, const std::string& directory) {
    fd_ = platform::openAt(dir.get(), std::string(World::kLockFile), O_RDWR | O_CREAT, 0600);
    if (!fd_) {
      throw WorldError("Cannot open the world lock " + pathIn(directory, World::kLockFile) + ": " +
                       platform::errnoText(errno));
    }
    int locked;
    do {
      locked = ::flock(fd_.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      throw WorldError("Cannot lock " + pathIn(directory, World::kLockFile) + ": " + platform::errnoText(errno));
    }
  }
  // Closing the descriptor releases the flock.

 private:
  UniqueFd fd_;
};

std::uint32_t decodeUserId(const json& object, const char* key, const char* path) {
  const json& value = object.at(key);
  const bool negative = value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0;
  if (!value.is_number_integer() || negative) {
    throw WorldError(std::string("The world value \"") + path + "\" must be a non-negative integer.");
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > kMaxUserId) {
    throw WorldError(std::string("The world value \"") + path + "\" is out of range (at most " +
                     std::to_string(kMaxUserId) + ").");
  }
  return static_cast<std::uint32_t>(number);
}

// A finding of the generic coder in a section, as a world sentence.
WorldError worldValueError(const platform::json::DecodeError& error) {
  using Problem = platform::json::DecodeError::Problem;
  const std::string subject = "The world value \"" + error.path() + "\"";
  switch (error.problem()) {
    case Problem::missingKey:
      return WorldError(subject + " is missing.");
    case Problem::wrongType:
      return WorldError(subject + " must be " + error.detail() + ".");
    case Problem::unknownValue:
      return WorldError(subject + " has an unknown value \"" + error.detail() + "\".");
    case Problem::outOfRange:
      return WorldError(subject + " is out of range (expected " + error.detail() + ").");
    default:
      return WorldError(subject + " is not valid.");
  }
}

// Decodes the section `key` with the generic coder; an absent section keeps `into`.
template <class Section>
void decodeSection(const json& document, const char* key, Section& into) {
  auto it = document.find(key);
  if (it == document.end() || it->is_null()) return;
  try {
    into = platform::json::decodeValue<Section>(*it);
  } catch (const platform::json::DecodeError& error) {
    throw worldValueError(error.nestedIn(key));
  }
}

void requireRange(bool holds, const std::string& path, const std::string& range) {
  if (!holds) throw WorldError("The world value \"" + path + "\" is out of range (" + range + ").");
}

// Ten years either way is more than any test of file ages needs.
constexpr double kMaxClockAhead = 315360000;

bool isSpeed(double rpm) { return rpm >= 0 && rpm <= WorldRecord::kMaxFanRPM; }

void checkSections(const WorldRecord& record) {
  if (record.thermal.cpuCelsius) {
    requireRange(*record.thermal.cpuCelsius >= -50 && *record.thermal.cpuCelsius <= 200, "thermal.cpuCelsius",
                 "-50 to 200");
  }
  if (record.thermal.gpuCelsius) {
    requireRange(*record.thermal.gpuCelsius >= -50 && *record.thermal.gpuCelsius <= 200, "thermal.gpuCelsius",
                 "-50 to 200");
  }
  for (std::size_t index = 0; index < record.accounts.users.size(); ++index) {
    const WorldAccount& account = record.accounts.users[index];
    const std::string path = "accounts.users[" + std::to_string(index) + "].";
    requireRange(!account.name.empty() && account.name.find_first_of(std::string_view(":/\0\n", 4)) == std::string::npos,
                 path + "name", "a non-empty name without ':', '/', NUL or line feed");
    requireRange(account.uid >= 0 && account.uid < 4294967295, path + "uid", "0 to 4294967294");
    for (std::size_t other = 0; other < index; ++other) {
      requireRange(record.accounts.users[other].name != account.name, path + "name", "a name no other account has");
      requireRange(record.accounts.users[other].uid != account.uid, path + "uid", "an id no other account has");
    }
  }
  requireRange(std::isfinite(record.clock.aheadSeconds) && std::fabs(record.clock.aheadSeconds) <= kMaxClockAhead,
               "clock.aheadSeconds", "-315360000 to 315360000");
  for (std::size_t index = 0; index < record.downloads.holders.size(); ++index) {
    const WorldDownloadHolder& holder = record.downloads.holders[index];
    requireRange(holder.pid > 0, "downloads.holders[" + std::to_string(index) + "].pid", "a process id");
  }
  const std::vector<WorldFan>& fans = record.smc.fans;
  requireRange(fans.size() <= WorldRecord::kMaxFans, "smc.fans",
               "at most " + std::to_string(WorldRecord::kMaxFans) + " fans");
  for (std::size_t index = 0; index < fans.size(); ++index) {
    const std::string path = "smc.fans[" + std::to_string(index) + "].";
    const WorldFan& fan = fans[index];
    for (const auto& [name, rpm] : {std::pair{"minimumRPM", fan.minimumRPM}, std::pair{"maximumRPM", fan.maximumRPM},
                                    std::pair{"targetRPM", fan.targetRPM}, std::pair{"actualRPM", fan.actualRPM}}) {
      requireRange(isSpeed(rpm), path + name, "0 to 20000");
    }
    requireRange(fan.mode >= 0 && fan.mode <= 255, path + "mode", "0 to 255");
  }
  for (std::size_t index = 0; index < record.smc.faults.size(); ++index) {
    const std::string path = "smc.faults[" + std::to_string(index) + "].";
    const WorldSmcFault& fault = record.smc.faults[index];
    if (fault.key) requireRange(fault.key->size() == 4, path + "key", "four characters");
    if (fault.remaining) requireRange(*fault.remaining >= 1, path + "remaining", "at least 1");
    switch (fault.kind) {
      case WorldSmcFaultKind::ioError:
        requireRange(fault.value != 0 && fault.value >= INT32_MIN && fault.value <= INT32_MAX, path + "value",
                     "a non-zero 32-bit kernel return");
        break;
      case WorldSmcFaultKind::shortReply:
        requireRange(fault.value >= 0 && fault.value <= 79, path + "value", "0 to 79 bytes");
        break;
      case WorldSmcFaultKind::result:
        requireRange(fault.value >= 1 && fault.value <= 255, path + "value", "1 to 255");
        break;
    }
  }
  for (std::size_t index = 0; index < record.smc.takeovers.size(); ++index) {
    const std::string path = "smc.takeovers[" + std::to_string(index) + "].";
    const WorldFanTakeover& takeover = record.smc.takeovers[index];
    requireRange(takeover.fan >= 0 && static_cast<std::size_t>(takeover.fan) < fans.size(), path + "fan",
                 "a fan of this world");
    if (takeover.mode) requireRange(*takeover.mode >= 0 && *takeover.mode <= 255, path + "mode", "0 to 255");
    if (takeover.targetRPM) requireRange(isSpeed(*takeover.targetRPM), path + "targetRPM", "0 to 20000");
    requireRange(takeover.afterCalls >= 1, path + "afterCalls", "at least 1");
  }
  requireRange(record.storage.freeBytes >= 0, "storage.freeBytes", "0 or more");
  for (std::size_t index = 0; index < record.fileFlags.size(); ++index) {
    const std::int64_t flags = record.fileFlags[index].flags;
    requireRange(flags >= 0 && flags <= 0xFFFFFFFF, "fileFlags[" + std::to_string(index) + "].flags",
                 "0 to 4294967295");
  }
}

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

// The world's generation counter (World::kGenerationFile), mapped for writing; made
// when missing. Changed only under the world lock.
class GenerationCounter {
 public:
  GenerationCounter(const UniqueFd& dir, const std::string& directory) {
    const std::string name(World::kGenerationFile);
    const UniqueFd fd = platform::openAt(dir.get(), name, O_RDWR | O_CREAT, 0644);
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_size < kBytes && ::ftruncate(fd.get(), kBytes) != 0)) {
      throw WorldError("Cannot prepare " + pathIn(directory, name) + ": " + platform::errnoText(errno));
    }
    void* map = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) {
      throw WorldError("Cannot map " + pathIn(directory, name) + ": " + platform::errnoText(errno));
    }
    counter_ = static_cast<std::uint64_t*>(map);
  }
  ~GenerationCounter() { ::munmap(counter_, kBytes); }
  GenerationCounter(const GenerationCounter&) = delete;
  GenerationCounter& operator=(const GenerationCounter&) = delete;

  // Odd: the state file may be replaced at any moment. A writer that dies here leaves
  // it odd, and readers then look at the file every time until the next update.
  void beginChange() { __atomic_store_n(counter_, __atomic_load_n(counter_, __ATOMIC_SEQ_CST) | 1, __ATOMIC_SEQ_CST); }
  // Even and larger than any value before: whatever the update did is in place.
  void endChange() { __atomic_store_n(counter_, (__atomic_load_n(counter_, __ATOMIC_SEQ_CST) | 1) + 1, __ATOMIC_SEQ_CST); }

  static constexpr off_t kBytes = sizeof(std::uint64_t);

 private:
  std::uint64_t* counter_ = nullptr;
};

// The state file, open, and its status in `st`.
UniqueFd openStateFile(const UniqueFd& dir, const std::string& directory, struct stat& st) {
  UniqueFd fd = platform::openAt(dir.get(), std::string(World::kStateFile), O_RDONLY);
  const std::string path = pathIn(directory, World::kStateFile);
  if (!fd) {
    if (errno == ENOENT) throw WorldError(directory + " holds no simulated Mac (" + path + " is missing).");
    throw WorldError("Cannot open " + path + ": " + platform::errnoText(errno));
  }
  if (::fstat(fd.get(), &st) != 0) throw WorldError("Cannot read " + path + ": " + platform::errnoText(errno));
  return fd;
}

// The record in the open state file `fd`, whose status `st` the caller took.
WorldRecord readStateFile(const UniqueFd& fd, const struct stat& st, const std::string& directory) {
  const std::string path = pathIn(directory, World::kStateFile);
  if (!S_ISREG(st.st_mode)) throw WorldError("Cannot read " + path + ": it is not a regular file.");
  std::string text;
  if (!platform::readAll(fd.get(), text, World::kMaxStateBytes)) {
    if (errno == EFBIG) {
      throw WorldError("Cannot read " + path + ": it is larger than " + std::to_string(World::kMaxStateBytes) +
                       " bytes.");
    }
    throw WorldError("Cannot read " + path + ": " + platform::errnoText(errno));
  }
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) throw WorldError("Cannot read " + path + ": it is not valid JSON.");
  try {
    return WorldRecord::fromJson(document);
  } catch (const WorldError& error) {
    throw WorldError("Cannot read " + path + ": " + error.what());
  }
}

WorldRecord readLocked(const UniqueFd& dir, const std::string& directory) {
  struct stat st{};
  const UniqueFd fd = openStateFile(dir, directory, st);
  return readStateFile(fd, st, directory);
}

// Stores `record` as the new state: write a pending file, sync it, then rename it over
// the state file (or, for a new world, link it in without replacing anything).
void writeLocked(const UniqueFd& dir, const std::string& directory, const WorldRecord& record,
                 bool replaceExisting) {
  const std::string text = record.toJson().dump(2) + "\n";
  const std::string pending(World::kPendingStateFile);
  const std::string pendingPath = pathIn(directory, World::kPendingStateFile);
  // Under the exclusive lock nobody else writes the pending file; a leftover from a
  // crash is truncated.
  UniqueFd fd = platform::openAt(dir.get(), pending, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!fd) throw WorldError("Cannot write " + pendingPath + ": " + platform::errnoText(errno));
  if (!platform::writeAll(fd.get(), text)) {
    throw WorldError("Cannot write " + pendingPath + ": " + platform::errnoText(errno));
  }
  if (::fsync(fd.get()) != 0) throw WorldError("Cannot write " + pendingPath + ": " + platform::errnoText(errno));
  fd.reset();
  const std::string state(World::kStateFile);
  const unsigned flags = replaceExisting ? 0u : static_cast<unsigned>(RENAME_NOREPLACE);
  if (::renameat2(dir.get(), pending.c_str(), dir.get(), state.c_str(), flags) != 0) {
    const int err = errno;
    ::unlinkat(dir.get(), pending.c_str(), 0);
    if (err == EEXIST) throw WorldError(directory + " already holds a simulated Mac; it was not replaced.");
    throw WorldError("Cannot store " + pathIn(directory, World::kStateFile) + ": " + platform::errnoText(err));
  }
  ::fsync(dir.get());
}

}  // namespace

json WorldRecord::toJson() const {
  return json{{"format", World::kFormat},
              {"process", {{"uid", process.uid}, {"euid", process.euid}}},
              {"machine", platform::json::encodeValue(machine)},
              {"thermal", platform::json::encodeValue(thermal)},
              {"smc", platform::json::encodeValue(smc)},
              {"power", platform::json::encodeValue(power)},
              {"accounts", platform::json::encodeValue(accounts)},
              {"tools", platform::json::encodeValue(tools)},
              {"storage", platform::json::encodeValue(storage)},
              {"signals", platform::json::encodeValue(signals)},
              {"clock", platform::json::encodeValue(clock)},
              {"downloads", platform::json::encodeValue(downloads)},
              {"disks", platform::json::encodeValue(disks)},
              {"installers", platform::json::encodeValue(installers)},
              {"fileFlags", platform::json::encodeValue(fileFlags)}};
}

WorldRecord WorldRecord::fromJson(const json& document) {
  if (!document.is_object()) throw WorldError("The world document must be a JSON object.");
  const json* format = member(document, "format");
  if (format == nullptr) throw WorldError("The world value \"format\" is missing.");
  if (!format->is_number_integer() || format->get<std::int64_t>() != World::kFormat) {
    throw WorldError("The world format is not " + std::to_string(World::kFormat) +
                     "; this simulator cannot read it.");
  }
  WorldRecord record;
  if (const json* process = member(document, "process")) {
    if (!process->is_object()) throw WorldError("The world value \"process\" must be an object.");
    if (member(*process, "uid")) record.process.uid = decodeUserId(*process, "uid", "process.uid");
    if (member(*process, "euid")) record.process.euid = decodeUserId(*process, "euid", "process.euid");
  }
  decodeSection(document, "machine", record.machine);
  decodeSection(document, "thermal", record.thermal);
  decodeSection(document, "smc", record.smc);
  decodeSection(document, "power", record.power);
  decodeSection(document, "accounts", record.accounts);
  decodeSection(document, "tools", record.tools);
  decodeSection(document, "storage", record.storage);
  decodeSection(document, "signals", record.signals);
  decodeSection(document, "clock", record.clock);
  decodeSection(document, "downloads", record.downloads);
  decodeSection(document, "disks", record.disks);
  decodeSection(document, "installers", record.installers);
  decodeSection(document, "fileFlags", record.fileFlags);
  checkSections(record);
  checkWorldTools(record.tools);
  checkWorldDisks(record.disks);
  return record;
}

bool World::exists(const std::string& directory) {
  struct stat st{};
  return ::lstat(pathIn(directory, kStateFile).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void World::create(const std::string& directory, const WorldRecord& initial) {
  const UniqueFd dir = openDirectory(directory);
  WorldLock lock(dir, directory);
  GenerationCounter made(dir, directory);  // before the state file, the mark of a world
  writeLocked(dir, directory, initial, /*replaceExisting=*/false);
}

WorldRecord World::read(const std::string& directory) {
  // No lock: the state file is only ever replaced whole by rename.
  const UniqueFd dir = openDirectory(directory);
  return readLocked(dir, directory);
}

WorldRecord World::update(const std::string& directory, const std::function<void(WorldRecord&)>& change) {
  const UniqueFd dir = openDirectory(directory);
  // Checked before the lock file is made, so a directory that is not a world is left as it was.
  if (!exists(directory)) {
    throw WorldError(directory + " holds no simulated Mac (" + pathIn(directory, kStateFile) + " is missing).");
  }
  WorldLock lock(dir, directory);
  WorldRecord record = readLocked(dir, directory);
  change(record);
  GenerationCounter generation(dir, directory);
  generation.beginChange();
  try {
    writeLocked(dir, directory, record, /*replaceExisting=*/true);
  } catch (...) {
    generation.endChange();  // the state file may or may not have been replaced
    throw;
  }
  generation.endChange();
  return record;
}

WorldCache::WorldCache(std::string directory, WorldRecord initial)
    : directory_(std::move(directory)), last_(std::move(initial)) {}

WorldCache::~WorldCache() {
  if (generation_ != nullptr) ::munmap(const_cast<std::uint64_t*>(generation_), sizeof *generation_);
}

WorldCache::FileIdentity WorldCache::identityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev),         static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::int64_t>(st.st_size),         static_cast<std::int64_t>(st.st_mtim.tv_sec),
          static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::int64_t>(st.st_ctim.tv_sec),
          static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

std::optional<std::uint64_t> WorldCache::generation() const {
  if (generation_ == nullptr) return std::nullopt;
  return __atomic_load_n(generation_, __ATOMIC_ACQUIRE);
}

void WorldCache::mapGeneration(int dirFd) {
  if (generation_ != nullptr) return;
  const UniqueFd fd = platform::openAt(dirFd, std::string(World::kGenerationFile), O_RDONLY);
  struct stat st{};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < static_cast<off_t>(sizeof *generation_)) {
    return;  // a world made before generations: every look is an fstat
  }
  void* map = ::mmap(nullptr, sizeof *generation_, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (map != MAP_FAILED) generation_ = static_cast<const std::uint64_t*>(map);
}

void WorldCache::refreshLocked() {
  // Taken before the file is looked at: an update that ends after this moment changes it
  // again, so what is read below is never taken for newer than it is.
  const std::optional<std::uint64_t> generation = this->generation();
  const std::optional<std::uint64_t> settled =
      generation && *generation % 2 == 0 ? generation : std::optional<std::uint64_t>();
  if (file_ && settled && settled == seenGeneration_) return;
  struct stat st{};
  // The file last read is still the world's as long as it keeps a name and its status
  // is unchanged: an update renames a new file over it (its link count drops to 0), an
  // edit in place changes its times, a rename away changes its change time.
  if (file_ && ::fstat(file_.get(), &st) == 0 && st.st_nlink > 0 && identityOf(st) == identity_) {
    seenGeneration_ = settled;
    return;
  }
  try {
    const UniqueFd dir = openDirectory(directory_);
    mapGeneration(dir.get());
    UniqueFd fd = openStateFile(dir, directory_, st);
    last_ = readStateFile(fd, st, directory_);
    file_ = std::move(fd);
    identity_ = identityOf(st);
    seenGeneration_ = settled;
  } catch (const WorldError&) {
    // Keep the last record read and look again at the next question; see the class comment.
    file_.reset();
    seenGeneration_.reset();
  }
}

}  // namespace tidewarden::sim
