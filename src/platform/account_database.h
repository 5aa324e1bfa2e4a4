// Names of user accounts: the account database behind "who owns this file".
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tidewarden::platform {

class AccountDatabase {
 public:
  virtual ~AccountDatabase() = default;
  // The login name of user `uid`, or nothing when the database has no such user or
  // cannot be read. Only reported and weighed as evidence, never used to grant access.
  virtual std::optional<std::string> userName(uid_t uid) = 0;
};

}  // namespace tidewarden::platform
