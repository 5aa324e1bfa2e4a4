// A small tmpfs mounted over a folder for one test and filled to its last byte.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

namespace tidewarden::testing {

// Mounting needs root with the right to mount (the suite runs as root); where this
// machine refuses it, mountAt gives nothing and the test says it was skipped.
class FullVolume {
 public:
  static std::unique_ptr<FullVolume> mountAt(const std::string& path, const std::string& options) {
    std::filesystem::create_directories(path);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) return nullptr;
    return std::unique_ptr<FullVolume>(new FullVolume(path));
  }
  ~FullVolume() { ::umount2(path_.c_str(), MNT_DETACH); }

  // Writes the file `name` until not one more byte fits.
  void fill(const std::string& name) const {
    const int fd = ::open((path_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(65536, 'f');
    for (std::size_t size = block.size(); fd >= 0 && size > 0; size /= 2) {
      while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) continue;
    }
    if (fd >= 0) ::close(fd);
  }

 private:
  explicit FullVolume(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace tidewarden::testing
