// Process facts of the running Linux process.
#include "platform/linux/linux_process_facts.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/linux_machine_files.h"

namespace tidewarden::platform {
namespace {

// /proc/cpuinfo grows with the number of cores; the first "model name" is near its top.
constexpr std::size_t kCpuinfoBytes = 4 << 20;
constexpr std::size_t kSmallFileBytes = 4096;

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
  explicit LinuxProcessFacts(const UniqueFd& root) : root_(root) {}

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
  std::string cpuBrand() override {
    const auto text = linux_files::readBeneath(root_, "/proc/cpuinfo", kCpuinfoBytes);
    return text ? linux_files::cpuBrandFromCpuinfo(*text).value_or("") : "";
  }
  std::string modelIdentifier() override {
    const auto text = linux_files::readBeneath(root_, "/sys/class/dmi/id/product_name", kSmallFileBytes);
    return text ? linux_files::firstLineOf(*text).value_or("Unknown") : "Unknown";
  }
  std::optional<std::string> deviceIdentifier() override {
    const auto text = linux_files::readBeneath(root_, "/etc/machine-id", kSmallFileBytes);
    return text ? linux_files::machineIdFrom(*text) : std::nullopt;
  }
  std::string osVersion() override {
    const auto text = linux_files::readBeneath(root_, "/etc/os-release", kSmallFileBytes);
    std::string version = text ? linux_files::prettyNameFromOsRelease(*text).value_or("Linux") : "Linux";
    utsname names{};
    if (::uname(&names) == 0) version += std::string(" (kernel ") + names.release + ")";
    return version;
  }

 private:
  const UniqueFd& root_;
};

}  // namespace

std::unique_ptr<ProcessFacts> makeLinuxProcessFacts(const UniqueFd& root) {
  return std::make_unique<LinuxProcessFacts>(root);
}

}  // namespace tidewarden::platform
