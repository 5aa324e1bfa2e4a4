// The simulated pkgutil and the disk-image subcommands of hdiutil.
#include "sim/simulated_installer_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_package.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;
using platform::PropertyList;
using platform::UniqueFd;

// A logical path without "." or ".." components, as the host path beneath the root.
std::optional<std::string> hostPath(const std::string& directory, const std::string& logical) {
  if (logical.empty() || logical.front() != '/') return std::nullopt;
  for (const fs::path& part : fs::path(logical).relative_path()) {
    if (part == "." || part == "..") return std::nullopt;
  }
  return directory + "/" + std::string(SimulatedMac::kRootFolder) + logical;
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

SimulatedToolAnswer failed(const std::string& message, int status = 1) { return {"", message + "\n", status}; }

bool safeRelative(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  for (const fs::path& part : fs::path(path)) {
    if (part == "." || part == ".." || part.empty()) return false;
  }
  return true;
}

SimulatedToolAnswer checkSignature(const std::string& directory, const std::string& package) {
  const auto host = hostPath(directory, package);
  const UniqueFd fd(host ? ::open(host->c_str(), O_RDONLY | O_CLOEXEC) : -1);
  if (!fd) return failed("Error: Could not open package: " + package);
  const std::string head = "Package \"" + lastComponent(package) + "\":\n";
  const auto reading = readSimulatedPackage(fd.get());
  if (!reading || reading->package.signer == "adhoc") return {head + "   Status: no signature\n", "", 1};
  if (!reading->digestMatches) return {head + "   Status: invalid signature\n", "", 1};
  const auto certificate = [](int index, const std::string& name) {
    return "    " + std::to_string(index) + ". " + name +
           "\n       Expires: 2031-10-24 17:39:41 +0000\n       SHA256 Fingerprint:\n           "
           "0F 2B 7C 51 9A 33 E0 4D 12 88 6E 90 AB 51 C3 77 20 19 5E D4 6A 0B 3F 91 C8 22 74 5D E6 08 B1 4A\n"
           "       ------------------------------------------------------------------------\n";
  };
  std::string out = head;
  if (reading->package.signer == "apple") {
    out += "   Status: signed Apple Software\n   Certificate Chain:\n" + certificate(1, "Software Update") +
           certificate(2, "Apple Software Update Certification Authority") + certificate(3, "Apple Root CA");
  } else {
    out += "   Status: signed by a developer certificate issued by Apple for distribution\n   Certificate Chain:\n" +
           certificate(1, "Developer ID Installer: Simulated Developer (DEVSIM0001)") +
           certificate(2, "Developer ID Certification Authority") + certificate(3, "Apple Root CA");
  }
  return {out, "", 0};
}

SimulatedToolAnswer expandFull(const std::string& directory, const std::string& package, const std::string& target) {
  const auto host = hostPath(directory, package);
  const auto into = hostPath(directory, target);
  const UniqueFd fd(host ? ::open(host->c_str(), O_RDONLY | O_CLOEXEC) : -1);
  if (!fd || !into) return failed("Error: Could not open package: " + package);
  const auto reading = readSimulatedPackage(fd.get());
  if (!reading) return failed("Error: " + package + " is not a package");
  if (::mkdir(into->c_str(), 0755) != 0) return failed("Error: Could not create " + target + ": " + platform::errnoText(errno));
  struct stat st{};
  ::fstat(fd.get(), &st);
  // About 1 ms per MiB: an expansion takes time in proportion to the package.
  std::this_thread::sleep_for(std::chrono::milliseconds(st.st_size >> 20));
  const auto write = [&](const std::string& relative, const std::string& bytes, mode_t mode) {
    const std::string path = *into + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    const UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out || !platform::writeAll(out.get(), bytes) || ::fchmod(out.get(), mode) != 0) {
      throw std::runtime_error("Could not write " + target + "/" + relative);
    }
  };
  try {
    write("Bom", "", 0644);
    write("PackageInfo", "<pkg-info format-version=\"2\" identifier=\"com.apple.pkg.InstallAssistant\"/>\n", 0644);
    for (const SimulatedPackageEntry& entry : reading->package.entries) {
      if (!safeRelative(entry.path)) throw std::runtime_error("Unsafe entry " + entry.path);
      if (entry.directory) {
        fs::create_directories(*into + "/" + entry.path);
        ::chmod((*into + "/" + entry.path).c_str(), entry.mode);
        continue;
      }
      std::string bytes(static_cast<std::size_t>(entry.length), '\0');
      if (::pread(fd.get(), bytes.data(), bytes.size(), entry.offset) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("Truncated package entry " + entry.path);
      }
      write(entry.path, bytes, entry.mode);
    }
  } catch (const std::exception& error) {
    return failed(std::string("Error: ") + error.what());
  }
  return {"", "", 0};
}

SimulatedToolAnswer imageInfo(const std::string& directory, const std::string& image) {
  const auto host = hostPath(directory, image);
  const UniqueFd fd(host ? ::open(host->c_str(), O_RDONLY | O_CLOEXEC) : -1);
  if (!fd || !readSimulatedImage(fd.get())) return failed("hdiutil: imageinfo failed - image not recognized");
  struct stat st{};
  ::fstat(fd.get(), &st);
  PropertyList sizes = PropertyList::dictionary();
  sizes.set("Total Bytes", PropertyList::integer(st.st_size));
  PropertyList info = PropertyList::dictionary();
  info.set("Format", PropertyList::string("UDZO"));
  info.set("Format Description", PropertyList::string("UDIF read-only compressed (zlib)"));
  info.set("Checksum Type", PropertyList::string("CRC32"));
  info.set("Size Information", std::move(sizes));
  return {info.toXml(), "", 0};
}

// Removes what an attachment laid out beneath its mount points (the folders stay).
void clearMounts(const std::string& directory, const WorldAttachedImage& image) {
  for (const WorldImageEntity& entity : image.entities) {
    if (!entity.mountPoint) continue;
    const auto host = hostPath(directory, *entity.mountPoint);
    std::error_code error;
    if (!host || !fs::is_directory(fs::symlink_status(*host, error))) continue;
    for (const auto& child : fs::directory_iterator(*host, error)) fs::remove_all(child.path(), error);
  }
}

SimulatedToolAnswer attach(const std::string& directory, const std::string& image, const std::string& mountPoint) {
  const auto host = hostPath(directory, image);
  const auto mount = hostPath(directory, mountPoint);
  const UniqueFd fd(host ? ::open(host->c_str(), O_RDONLY | O_CLOEXEC) : -1);
  const auto files = fd ? readSimulatedImage(fd.get()) : std::nullopt;
  if (!files || !mount) return failed("hdiutil: attach failed - image not recognized");
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(*mount, error)) || !fs::is_empty(*mount, error)) {
    return failed("hdiutil: attach failed - Resource busy");
  }
  SimulatedToolAnswer answer;
  World::update(directory, [&](WorldRecord& world) {
    std::set<int> used;
    for (const WorldAttachedImage& attached : world.tools.images) {
      for (const WorldImageEntity& entity : attached.entities) {
        int number = 0;
        if (std::sscanf(entity.devEntry.c_str(), "/dev/disk%d", &number) == 1) used.insert(number);
      }
    }
    int disk = 4;
    while (used.contains(disk)) ++disk;
    const std::string whole = "/dev/disk" + std::to_string(disk);
    for (const SimulatedImageFile& file : *files) {
      if (!safeRelative(file.path)) throw WorldError("unsafe image entry " + file.path);
      const std::string path = *mount + "/" + file.path;
      fs::create_directories(fs::path(path).parent_path());
      const UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
      if (!out || !platform::writeAll(out.get(), file.content)) throw WorldError("cannot lay out " + path);
    }
    world.tools.images.push_back({image,
                                  {{whole, std::nullopt}, {whole + "s1", mountPoint}},
                                  false, false, false, std::nullopt, kSimulatedAttachHdidPid});
    PropertyList wholeEntity = PropertyList::dictionary();
    wholeEntity.set("content-hint", PropertyList::string("GUID_partition_scheme"));
    wholeEntity.set("dev-entry", PropertyList::string(whole));
    wholeEntity.set("potentially-mountable", PropertyList::boolean(false));
    PropertyList volume = PropertyList::dictionary();
    volume.set("content-hint", PropertyList::string("Apple_HFS"));
    volume.set("dev-entry", PropertyList::string(whole + "s1"));
    volume.set("mount-point", PropertyList::string(mountPoint));
    volume.set("potentially-mountable", PropertyList::boolean(true));
    volume.set("volume-kind", PropertyList::string("hfs"));
    PropertyList entities = PropertyList::array();
    entities.append(std::move(wholeEntity));
    entities.append(std::move(volume));
    PropertyList out = PropertyList::dictionary();
    out.set("system-entities", std::move(entities));
    answer = {out.toXml(), "", 0};
  });
  return answer;
}

SimulatedToolAnswer detach(const std::string& directory, const std::string& device) {
  SimulatedToolAnswer answer = failed("hdiutil: detach failed - No such file or directory");
  World::update(directory, [&](WorldRecord& world) {
    if (world.installers.detachFails) {
      answer = failed("hdiutil: couldn't unmount \"" + lastComponent(device) + "\" - Resource busy", 16);
      return;
    }
    auto& images = world.tools.images;
    const auto found = std::find_if(images.begin(), images.end(), [&](const WorldAttachedImage& image) {
      return std::any_of(image.entities.begin(), image.entities.end(),
                         [&](const WorldImageEntity& entity) { return entity.devEntry == device; });
    });
    if (found == images.end()) return;
    clearMounts(directory, *found);
    images.erase(found);
    answer = {"\"" + lastComponent(device) + "\" ejected.\n", "", 0};
  });
  return answer;
}

// `hdiutil info`, after the detach by someone else that the world asked for.
std::optional<SimulatedToolAnswer> info(const std::string& directory, const std::vector<std::string>& arguments) {
  if (!World::read(directory).installers.detachBeforeCheck) return std::nullopt;
  const WorldRecord world = World::update(directory, [&](WorldRecord& record) {
    record.installers.detachBeforeCheck = false;
    auto& images = record.tools.images;
    for (const WorldAttachedImage& image : images) {
      if (image.hdidPid == kSimulatedAttachHdidPid) clearMounts(directory, image);
    }
    std::erase_if(images, [](const WorldAttachedImage& image) { return image.hdidPid == kSimulatedAttachHdidPid; });
  });
  WorldTools tools = world.tools;
  return answerSimulatedTool(WorldTool::hdiutil, arguments, tools);
}

}  // namespace

std::optional<SimulatedToolAnswer> answerInstallerTool(const std::string& directory, WorldTool tool,
                                                       const std::vector<std::string>& arguments) {
  const auto& a = arguments;
  if (tool == WorldTool::pkgutil) {
    if (a.size() == 2 && a[0] == "--check-signature") return checkSignature(directory, a[1]);
    if (a.size() == 3 && a[0] == "--expand-full") return expandFull(directory, a[1], a[2]);
    return std::nullopt;
  }
  if (tool != WorldTool::hdiutil) return std::nullopt;
  if (a.size() == 3 && a[0] == "imageinfo" && a[1] == "-plist") return imageInfo(directory, a[2]);
  if (a.size() == 10 && a[0] == "attach" && a[2] == "-plist" && a[3] == "-readonly" && a[4] == "-nobrowse" &&
      a[5] == "-noautoopen" && a[6] == "-owners" && a[7] == "off" && a[8] == "-mountpoint") {
    return attach(directory, a[1], a[9]);
  }
  if (a.size() == 2 && a[0] == "detach") return detach(directory, a[1]);
  if (a == std::vector<std::string>{"info", "-plist"}) return info(directory, a);
  return std::nullopt;
}

}  // namespace tidewarden::sim
