// Facts about the running process and the machine that the helper reports.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::platform {

class ProcessFacts {
 public:
  virtual ~ProcessFacts() = default;
  virtual uid_t realUserId() = 0;
  virtual uid_t effectiveUserId() = 0;
  // Both user ids from one look at where they come from, so they always belong together.
  struct UserIds {
    uid_t real = 0;
    uid_t effective = 0;
  };
  virtual UserIds userIds() { return {realUserId(), effectiveUserId()}; }
  // The helper's own process identifier, which it leaves out of "who has this open".
  virtual pid_t processIdentifier();
  // The machine's CPU brand string ("" when it cannot be read) and model identifier
  // ("Unknown" when it cannot be read); only reported and used to pick sensor keys.
  virtual std::string cpuBrand() { return ""; }
  virtual std::string modelIdentifier() { return "Unknown"; }
  // An identifier of this machine that is stable across restarts and differs between
  // machines; nothing when it cannot be read.
  virtual std::optional<std::string> deviceIdentifier() { return std::nullopt; }
  // The operating system's version text, for reports.
  virtual std::string osVersion() { return ""; }
  // The machine's account database: the name of a user id, the id of a user name;
  // nothing when there is no such account or the database cannot be read.
  virtual std::optional<std::string> userName(uid_t) { return std::nullopt; }
  virtual std::optional<uid_t> userId(std::string_view) { return std::nullopt; }
};

}  // namespace tidewarden::platform
