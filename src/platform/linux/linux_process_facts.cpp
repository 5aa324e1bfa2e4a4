// Process facts of the running Linux process.
#include "platform/linux/linux_process_facts.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace tidewarden::platform {
namespace {

// Calls getpwuid_r or getpwnam_r with a buffer that grows while the entry does not fit.
template <typename Lookup>
std::optional<passwd> lookUp(std::vector<char>& buffer, Lookup lookup) {
  buffer.resize(1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int err = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (err != 0 || found == nullptr) return std::nullopt;
    return entry;
  }
}

class LinuxProcessFacts final : public ProcessFacts {
 public:
  uid_t realUserId() override { return ::getuid(); }
  uid_t effectiveUserId() override { return ::geteuid(); }

  std::optional<std::string> userName(uid_t uid) override {
    std::vector<char> buffer;
    const auto entry = lookUp(buffer, [uid](passwd* e, char* b, std::size_t n, passwd** r) {
      return ::getpwuid_r(uid, e, b, n, r);
    });
    if (!entry || entry->pw_name == nullptr) return std::nullopt;
    return std::string(entry->pw_name);
  }

  std::optional<uid_t> userId(std::string_view name) override {
    if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string text(name);
    std::vector<char> buffer;
    const auto entry = lookUp(buffer, [&text](passwd* e, char* b, std::size_t n, passwd** r) {
      return ::getpwnam_r(text.c_str(), e, b, n, r);
    });
    if (!entry) return std::nullopt;
    return entry->pw_uid;
  }
};

}  // namespace

std::unique_ptr<ProcessFacts> makeLinuxProcessFacts() { return std::make_unique<LinuxProcessFacts>(); }

}  // namespace tidewarden::platform
