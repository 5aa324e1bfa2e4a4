// The simulated Mac's state on disk: the world record, its JSON coding and locked updates.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/json_codec.h"
#include "platform/unique_fd.h"
#include "sim/world_disks.h"
#include "sim/world_installers.h"
#include "sim/world_tools.h"

namespace tidewarden::sim {

// A world that cannot be found, read, decoded or written. what() names the directory
// or file and the reason.
class WorldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Facts about the helper's own process that the simulated platform reports.
struct WorldProcess {
  std::uint32_t uid = 0;
  std::uint32_t euid = 0;
};

// The machine the simulated Mac is: its CPU brand string (which decides the
// controller's key layout) and its model identifier.
struct WorldMachine {
  std::string cpuBrand;
  std::string modelIdentifier;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("cpuBrand", &WorldMachine::cpuBrand),
        platform::json::field("modelIdentifier", &WorldMachine::modelIdentifier),
    };
  }
  friend bool operator==(const WorldMachine&, const WorldMachine&) = default;
};

// The operating system's thermal pressure levels.
enum class WorldThermalState { nominal, fair, serious, critical };

inline constexpr std::array<std::pair<WorldThermalState, std::string_view>, 4> kWorldThermalStateRawValues{{
    {WorldThermalState::nominal, "nominal"},
    {WorldThermalState::fair, "fair"},
    {WorldThermalState::serious, "serious"},
    {WorldThermalState::critical, "critical"},
}};
constexpr const auto& jsonEnumValues(WorldThermalState) { return kWorldThermalStateRawValues; }

// Temperatures the controller's sensors report (absent: the sensors cannot be read)
// and the thermal pressure the system reports.
struct WorldThermal {
  WorldThermalState state = WorldThermalState::nominal;
  std::optional<double> cpuCelsius;
  std::optional<double> gpuCelsius;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("state", &WorldThermal::state),
        platform::json::field("cpuCelsius", &WorldThermal::cpuCelsius),
        platform::json::field("gpuCelsius", &WorldThermal::gpuCelsius),
    };
  }
  friend bool operator==(const WorldThermal&, const WorldThermal&) = default;
};

// One fan's controller registers. The speed is a point on a curve: `actualRPM` at
// clock time `actualAt` (seconds since 2001), moving from there toward the fan's
// effective target, so it keeps moving without anyone writing the world.
struct WorldFan {
  double minimumRPM = 0;
  double maximumRPM = 0;
  std::int32_t mode = 0;   // F#Md: 0 automatic, 1 manual; any other byte only when taken so
  double targetRPM = 0;    // F#Tg as last written or taken; followed in manual mode
  double actualRPM = 0;
  double actualAt = 0;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("minimumRPM", &WorldFan::minimumRPM),
        platform::json::field("maximumRPM", &WorldFan::maximumRPM),
        platform::json::field("mode", &WorldFan::mode),
        platform::json::field("targetRPM", &WorldFan::targetRPM),
        platform::json::field("actualRPM", &WorldFan::actualRPM),
        platform::json::field("actualAt", &WorldFan::actualAt),
    };
  }
  friend bool operator==(const WorldFan&, const WorldFan&) = default;
};

// The controller commands a fault may be limited to.
enum class WorldSmcCommand { read, write, info };

inline constexpr std::array<std::pair<WorldSmcCommand, std::string_view>, 3> kWorldSmcCommandRawValues{{
    {WorldSmcCommand::read, "read"},
    {WorldSmcCommand::write, "write"},
    {WorldSmcCommand::info, "info"},
}};
constexpr const auto& jsonEnumValues(WorldSmcCommand) { return kWorldSmcCommandRawValues; }

// How a faulty call is answered: the driver call fails with `value` as its kernel
// return; the reply is cut to `value` bytes; or the controller answers with SMC result
// code `value`.
enum class WorldSmcFaultKind { ioError, shortReply, result };

inline constexpr std::array<std::pair<WorldSmcFaultKind, std::string_view>, 3> kWorldSmcFaultKindRawValues{{
    {WorldSmcFaultKind::ioError, "ioError"},
    {WorldSmcFaultKind::shortReply, "shortReply"},
    {WorldSmcFaultKind::result, "result"},
}};
constexpr const auto& jsonEnumValues(WorldSmcFaultKind) { return kWorldSmcFaultKindRawValues; }

// A fault the controller applies to matching calls: every key or one, every command or
// one, for ever or the next `remaining` matching calls.
struct WorldSmcFault {
  std::optional<std::string> key;
  std::optional<WorldSmcCommand> command;
  WorldSmcFaultKind kind = WorldSmcFaultKind::result;
  std::int64_t value = 0;
  std::optional<std::int64_t> remaining;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("key", &WorldSmcFault::key),
        platform::json::field("command", &WorldSmcFault::command),
        platform::json::field("kind", &WorldSmcFault::kind),
        platform::json::field("value", &WorldSmcFault::value),
        platform::json::field("remaining", &WorldSmcFault::remaining),
    };
  }
  friend bool operator==(const WorldSmcFault&, const WorldSmcFault&) = default;
};

// A change of a fan's registers by someone other than the helper, made just before the
// controller answers the `afterCalls`-th call from now.
struct WorldFanTakeover {
  std::int32_t fan = 0;
  std::optional<std::int32_t> mode;
  std::optional<double> targetRPM;
  std::int64_t afterCalls = 1;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("fan", &WorldFanTakeover::fan),
        platform::json::field("mode", &WorldFanTakeover::mode),
        platform::json::field("targetRPM", &WorldFanTakeover::targetRPM),
        platform::json::field("afterCalls", &WorldFanTakeover::afterCalls),
    };
  }
  friend bool operator==(const WorldFanTakeover&, const WorldFanTakeover&) = default;
};

// The System Management Controller: fan registers, injected faults, pending takeovers.
struct WorldSmc {
  std::vector<WorldFan> fans;
  std::vector<WorldSmcFault> faults;
  std::vector<WorldFanTakeover> takeovers;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("fans", &WorldSmc::fans),
        platform::json::field("faults", &WorldSmc::faults),
        platform::json::field("takeovers", &WorldSmc::takeovers),
    };
  }
  friend bool operator==(const WorldSmc&, const WorldSmc&) = default;
};

// Sleep notices sent with `tidewarden-sim world power` and the answers the helper gave.
enum class WorldPowerEventKind { willSleep, canSleep };

inline constexpr std::array<std::pair<WorldPowerEventKind, std::string_view>, 2> kWorldPowerEventKindRawValues{{
    {WorldPowerEventKind::willSleep, "will-sleep"},
    {WorldPowerEventKind::canSleep, "can-sleep"},
}};
constexpr const auto& jsonEnumValues(WorldPowerEventKind) { return kWorldPowerEventKindRawValues; }

struct WorldPowerEvent {
  std::int64_t id = 0;
  WorldPowerEventKind kind = WorldPowerEventKind::willSleep;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("id", &WorldPowerEvent::id),
        platform::json::field("kind", &WorldPowerEvent::kind),
    };
  }
  friend bool operator==(const WorldPowerEvent&, const WorldPowerEvent&) = default;
};

struct WorldPower {
  std::vector<WorldPowerEvent> pending;    // sent, not yet delivered to a registered helper
  std::vector<WorldPowerEvent> delivered;  // delivered, in order
  std::vector<std::int64_t> allowed;       // ids of the notices the helper let go ahead
  std::int64_t nextID = 1;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("pending", &WorldPower::pending),
        platform::json::field("delivered", &WorldPower::delivered),
        platform::json::field("allowed", &WorldPower::allowed),
        platform::json::field("nextID", &WorldPower::nextID),
    };
  }
  friend bool operator==(const WorldPower&, const WorldPower&) = default;
};

// One account of the Mac's user database. Files in the simulated root carry these ids
// as their real owners on the host.
struct WorldAccount {
  std::string name;
  std::int64_t uid = 0;  // 0 to 4294967294

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("name", &WorldAccount::name),
        platform::json::field("uid", &WorldAccount::uid),
    };
  }
  friend bool operator==(const WorldAccount&, const WorldAccount&) = default;
};

// The accounts a Mac has out of the box, among them the system software-update account
// and a first administrator.
struct WorldAccounts {
  std::vector<WorldAccount> users{{"root", 0}, {"daemon", 1}, {"_softwareupdate", 200}, {"admin", 501}};

  static constexpr auto jsonFields() {
    return std::tuple{platform::json::field("users", &WorldAccounts::users)};
  }
  friend bool operator==(const WorldAccounts&, const WorldAccounts&) = default;
};

// The simulated Mac's wall clock: the host's time plus `aheadSeconds`. Files made on
// the host carry host times, so a clock set ahead makes them look that much older to
// the helper (a change time cannot be set back on Linux). The fans keep host time.
struct WorldClock {
  double aheadSeconds = 0;

  static constexpr auto jsonFields() {
    return std::tuple{platform::json::field("aheadSeconds", &WorldClock::aheadSeconds)};
  }
  friend bool operator==(const WorldClock&, const WorldClock&) = default;
};

// What a simulated download process does to its file.
enum class WorldDownloadHolderKind { lock, writer };

inline constexpr std::array<std::pair<WorldDownloadHolderKind, std::string_view>, 2>
    kWorldDownloadHolderKindRawValues{{
        {WorldDownloadHolderKind::lock, "lock"},
        {WorldDownloadHolderKind::writer, "writer"},
    }};
constexpr const auto& jsonEnumValues(WorldDownloadHolderKind) { return kWorldDownloadHolderKindRawValues; }

// A process the simulator started beside the helper: a downloader holding the download
// lock of a folder, or a writer appending to a download file. `path` is the logical
// path of the lock file or of the file written; `startTicks` is the process's start
// time (from /proc), so a later verb never signals a process that reused the pid.
struct WorldDownloadHolder {
  WorldDownloadHolderKind kind = WorldDownloadHolderKind::lock;
  std::string path;
  std::int64_t pid = 0;
  std::int64_t startTicks = 0;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("kind", &WorldDownloadHolder::kind),
        platform::json::field("path", &WorldDownloadHolder::path),
        platform::json::field("pid", &WorldDownloadHolder::pid),
        platform::json::field("startTicks", &WorldDownloadHolder::startTicks),
    };
  }
  friend bool operator==(const WorldDownloadHolder&, const WorldDownloadHolder&) = default;
};

struct WorldDownloads {
  std::vector<WorldDownloadHolder> holders;

  static constexpr auto jsonFields() {
    return std::tuple{platform::json::field("holders", &WorldDownloads::holders)};
  }
  friend bool operator==(const WorldDownloads&, const WorldDownloads&) = default;
};

// The data volume as the simulated Mac reports it: its free bytes (the free-space
// watch of tool runs and the storage checks read this).
struct WorldStorage {
  // A new simulated Mac has plenty: 1 TiB.
  static constexpr std::int64_t kDefaultFreeBytes = std::int64_t{1} << 40;
  std::int64_t freeBytes = kDefaultFreeBytes;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("freeBytes", &WorldStorage::freeBytes),
    };
  }
  friend bool operator==(const WorldStorage&, const WorldStorage&) = default;
};

// BSD flags set on one object of the simulated root (`tidewarden-sim world file-flags`).
// They belong to the object, not to a path: its device and inode, with its birth time
// and its file handle (name_to_handle_at, in hexadecimal; on most file systems the inode
// number with its generation; empty where the file system gives none), so that a new
// file that is given the inode number of a removed one starts without flags. `path` is
// where they were set, for people reading the world.
struct WorldFileFlags {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t bornSeconds = 0;
  std::int64_t bornNanoseconds = 0;
  std::string handle;
  std::int64_t flags = 0;  // macOS's bits (platform/file_flags.h), 0 to 0xFFFFFFFF
  std::string path;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("device", &WorldFileFlags::device),
        platform::json::field("inode", &WorldFileFlags::inode),
        platform::json::field("bornSeconds", &WorldFileFlags::bornSeconds),
        platform::json::field("bornNanoseconds", &WorldFileFlags::bornNanoseconds),
        platform::json::field("handle", &WorldFileFlags::handle),
        platform::json::field("flags", &WorldFileFlags::flags),
        platform::json::field("path", &WorldFileFlags::path),
    };
  }
  friend bool operator==(const WorldFileFlags&, const WorldFileFlags&) = default;
};

// A signal the helper sent to a process; recorded instead of delivered, so that no
// host process is ever signalled by the simulated Mac.
struct WorldSignal {
  std::int64_t pid = 0;
  std::int32_t signal = 0;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("pid", &WorldSignal::pid),
        platform::json::field("signal", &WorldSignal::signal),
    };
  }
  friend bool operator==(const WorldSignal&, const WorldSignal&) = default;
};

// Everything the simulator models, stored as one JSON document. A new section is a
// new member with a default, decoded as an optional key so that a world made by an
// older simulator still opens. The document itself is coded by hand: the format number
// is checked before any other key, and refusals speak of the world file, not of a
// request. Sections with many fields list them once (jsonFields) and are read by the
// generic coder, whose findings are reworded as world sentences; their ranges are
// checked here.
struct WorldRecord {
  WorldProcess process;
  // A new simulated Mac starts as the default model (sim/simulated_models.h); a world
  // without these sections has no CPU brand, no sensors and no fans.
  WorldMachine machine;
  WorldThermal thermal;
  WorldSmc smc;
  WorldPower power;
  WorldAccounts accounts;
  WorldTools tools;
  WorldStorage storage;
  std::vector<WorldSignal> signals;  // in the order they were sent
  WorldClock clock;
  WorldDownloads downloads;
  // External and internal disks; a new Mac has its internal startup disk (a world made
  // before disks existed has none).
  WorldDisks disks;
  WorldInstallers installers;
  std::vector<WorldFileFlags> fileFlags;

  static constexpr std::size_t kMaxFans = 8;
  static constexpr double kMaxFanRPM = 20000;

  nlohmann::json toJson() const;
  // Strict: the format number must match, present keys must have the right type and
  // range; unknown keys are ignored. Throws WorldError naming the offending key.
  static WorldRecord fromJson(const nlohmann::json& document);
};

// Access to the world of a simulator directory. Every change is a read-modify-write
// under an exclusive flock on the lock file, written to a new file, synced and renamed
// over the state file, so a reader without the lock always sees a whole world and a
// crash mid-update leaves the previous one.
class World {
 public:
  static constexpr std::string_view kStateFile = "world.json";
  static constexpr std::string_view kLockFile = "world.lock";
  static constexpr std::string_view kPendingStateFile = "world.json.new";
  // A counter that tells readers whether the state file may have changed: an update
  // makes it odd before it replaces the state file and even (and larger) once it has.
  static constexpr std::string_view kGenerationFile = "world.generation";
  // The largest state file we read back; a world is small, this only bounds a corrupt one.
  static constexpr std::size_t kMaxStateBytes = 16u * 1024u * 1024u;
  static constexpr int kFormat = 1;

  // True when `directory` holds a world state file (the mark of a finished world).
  static bool exists(const std::string& directory);
  // Writes the first state of a world under the lock. Refuses (WorldError) when a
  // state file is already there: creation never overwrites a world.
  static void create(const std::string& directory, const WorldRecord& initial);
  static WorldRecord read(const std::string& directory);
  // Applies `change` to the current record under the exclusive lock and stores the
  // result. If `change` throws, nothing is written and the exception propagates.
  // Returns the stored record.
  static WorldRecord update(const std::string& directory, const std::function<void(WorldRecord&)>& change);
};

// The world of a directory as last read, for the simulated platform's answers. The
// state file is read again only when it changed. While the world's generation (see
// World) is even and the one seen at the last look, nothing changed and no system call
// is made. Otherwise the cache looks at the status of the file it read and holds open
// (one fstat, no path walk), which every update changes (it renames a new file into
// place, leaving the old one without a name), as does an edit in place or a rename
// away. An edit that bypasses World is therefore seen at the next update. A world that
// cannot be read at that moment (for example edited by hand into invalid JSON) answers
// with the last record that could be read: these answers are only reported or simulate
// the machine, never used to grant anything.
class WorldCache {
 public:
  explicit WorldCache(std::string directory, WorldRecord initial = {});
  ~WorldCache();
  WorldCache(const WorldCache&) = delete;
  WorldCache& operator=(const WorldCache&) = delete;

  // `project` applied to the current record, under the cache's lock.
  template <typename Projection>
  auto read(Projection project) {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return project(static_cast<const WorldRecord&>(last_));
  }

 private:
  void refreshLocked();

  struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
  };
  static FileIdentity identityOf(const struct stat& st);

  // The world's generation counter, or null while its file cannot be mapped.
  std::optional<std::uint64_t> generation() const;
  void mapGeneration(int dirFd);

  const std::string directory_;
  std::mutex mutex_;
  WorldRecord last_;
  const std::uint64_t* generation_ = nullptr;  // mapped from the generation file
  std::optional<std::uint64_t> seenGeneration_;  // even, and last_ is as new as it
  platform::UniqueFd file_;  // the state file last_ came from; none forces a read
  FileIdentity identity_;    // its status when it was read
};

}  // namespace tidewarden::sim
