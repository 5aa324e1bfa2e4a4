// The simulated Mac's state on disk: the world record, its JSON coding and locked updates.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

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

// Everything the simulator models, stored as one JSON document. A new section is a
// new member with a default, decoded as an optional key so that a world made by an
// older simulator still opens. Coded by hand, not by a field list: the format number is
// checked before any other key, and refusals speak of the world file, not of a request.
struct WorldRecord {
  WorldProcess process;

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

}  // namespace tidewarden::sim
