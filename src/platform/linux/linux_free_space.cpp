// Free space on Linux: fstatvfs of the volume reached through the root descriptor.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

#include "platform/file_io.h"
#include "platform/free_space.h"

namespace tidewarden::platform {
namespace {

class VolumeFreeSpace final : public FreeSpace {
 public:
  explicit VolumeFreeSpace(const UniqueFd& root) : root_(root) {}

  std::optional<std::int64_t> freeBytes(std::string_view logicalPath) override {
    // O_PATH: no read permission is needed and nothing of the file is touched; a
    // symbolic link as the last component opens the link, on the volume that holds it.
    const UniqueFd fd = openBeneath(root_, logicalPath, O_PATH);
    if (!fd) return std::nullopt;
    struct statvfs volume{};
    if (::fstatvfs(fd.get(), &volume) != 0) return std::nullopt;
    const auto blocks = static_cast<unsigned long long>(volume.f_bavail);
    const auto blockBytes = static_cast<unsigned long long>(volume.f_frsize);
    constexpr auto kMax = static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max());
    if (blockBytes != 0 && blocks > kMax / blockBytes) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(blocks * blockBytes);
  }

 private:
  const UniqueFd& root_;
};

}  // namespace

std::unique_ptr<FreeSpace> makeVolumeFreeSpace(const UniqueFd& root) { return std::make_unique<VolumeFreeSpace>(root); }

}  // namespace tidewarden::platform
