// The machine's own account database (getpwuid_r, thread-safe).
#include "platform/linux/linux_account_database.h"

#include <pwd.h>

#include <cerrno>
#include <vector>

namespace tidewarden::platform {
namespace {

// A passwd entry's strings are small; the buffer grows up to this size for unusual
// databases and the lookup gives up beyond it.
constexpr std::size_t kMaxEntryBytes = 1 << 20;

class LinuxAccountDatabase final : public AccountDatabase {
 public:
  std::optional<std::string> userName(uid_t uid) override {
    std::vector<char> buffer(4096);
    for (;;) {
      passwd entry{};
      passwd* found = nullptr;
      const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE && buffer.size() < kMaxEntryBytes) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (rc == EINTR) continue;
      if (rc != 0 || found == nullptr || found->pw_name == nullptr) return std::nullopt;
      return std::string(found->pw_name);
    }
  }
};

}  // namespace

std::unique_ptr<AccountDatabase> makeLinuxAccountDatabase() { return std::make_unique<LinuxAccountDatabase>(); }

}  // namespace tidewarden::platform
