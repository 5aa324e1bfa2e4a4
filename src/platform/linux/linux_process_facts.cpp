// Process facts of the running Linux process.
#include "platform/linux/linux_process_facts.h"

#include <sys/utsname.h>
#include <unistd.h>

#include "platform/linux/linux_machine_files.h"

namespace tidewarden::platform {
namespace {

// /proc/cpuinfo grows with the number of cores; the first "model name" is near its top.
constexpr std::size_t kCpuinfoBytes = 4 << 20;
constexpr std::size_t kSmallFileBytes = 4096;

class LinuxProcessFacts final : public ProcessFacts {
 public:
  explicit LinuxProcessFacts(const UniqueFd& root) : root_(root) {}

  uid_t realUserId() override { return ::getuid(); }
  uid_t effectiveUserId() override { return ::geteuid(); }
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
