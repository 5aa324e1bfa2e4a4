// Finding interrupted installer downloads under the fixed roots, within hard limits.
#include "storage/installer_download_discovery.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/clock.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "storage/installer_removal_target.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

class Discovery {
 public:
  Discovery(const platform::Platform& platform, double deadline) : platform_(platform) {
    result_.deadline = deadline;
  }

  InstallerDownloadDiscovery run() {
    ownDownloads();
    appleCaches();
    return std::move(result_);
  }

 private:
  void warn(const std::string& warning) {
    if (std::find(result_.warnings.begin(), result_.warnings.end(), warning) == result_.warnings.end()) {
      result_.warnings.push_back(warning);
    }
  }

  // The results are partial; with `stop`, nothing more is read at all.
  void limitReached(bool stop = true) {
    warn(kDiscoveryLimitWarning);
    result_.complete = false;
    stopped_ = stopped_ || stop;
  }

  // True once reading must end: a limit was met, or the time budget is spent.
  bool stopped() {
    if (!stopped_ && platform_.clock.uptime() > result_.deadline) limitReached();
    return stopped_;
  }

  // The names in `directory`, counted toward the entry limit; nothing when it could not be read.
  std::optional<std::vector<std::string>> list(int directory) {
    if (stopped()) return std::nullopt;
    const std::size_t allowed = kDiscoveryEntryLimit - 1 - result_.visited;
    std::optional<platform::DirectoryListing> listing = platform::listDirectory(directory, allowed);
    if (!listing) {
      warn("Could not read a directory.");
      return std::nullopt;
    }
    result_.visited += listing->names.size();
    if (listing->truncated) {
      warn("A directory could not be completely read.");
      limitReached();
    }
    return std::move(listing->names);
  }

  // Opens the root folder `path`; an absent one is simply nothing to look at.
  platform::UniqueFd openFolder(std::string_view path) {
    platform::UniqueFd fd = platform::openBeneath(platform_.root, path, O_RDONLY | O_DIRECTORY);
    if (!fd && errno != ENOENT) warn("Could not safely read a cache directory: " + std::string(path));
    return fd;
  }

  // Opens the subfolder `name`; nothing (silently) when it is not a directory or is a
  // link, with a warning when it could not be looked at for another reason.
  platform::UniqueFd openSubfolder(int parent, const std::string& name) {
    platform::UniqueFd fd = platform::openAt(parent, name, O_RDONLY | O_DIRECTORY);
    if (!fd && errno != ENOTDIR && errno != ELOOP && errno != ENOENT) {
      warn("Could not inspect a directory entry: " + name);
    }
    return fd;
  }

  // A download file found as `name` in `directory` at `path`: a candidate when it is a
  // regular file (a link or anything else is reported, never followed).
  void consider(int directory, const std::string& name, const std::string& path) {
    if (!platform::fileFactsAt(directory, name)) {
      if (errno != ENOENT) warn("Could not inspect a directory entry: " + name);
      return;
    }
    try {
      inspectDownloadFile(directory, name);
    } catch (const InstallerSafetyError& error) {
      warn("Could not inspect a directory entry: " + path + ". " + error.what());
      return;
    }
    if (!classifyDownloadPath(path)) return;
    if (std::find(result_.files.begin(), result_.files.end(), path) != result_.files.end()) return;
    if (result_.files.size() == kDiscoveryCandidateLimit) return limitReached();
    result_.files.push_back(path);
  }

  void ownDownloads() {
    const std::string rootPath(kDownloadsRoot);
    const platform::UniqueFd root = openFolder(rootPath);
    if (!root) return;
    const std::optional<std::vector<std::string>> names = list(root.get());
    if (!names) return;
    for (const std::string& folder : *names) {
      if (stopped()) return;
      if (!isSafeDownloadName(folder)) continue;
      const platform::UniqueFd fd = openSubfolder(root.get(), folder);
      if (!fd) continue;
      for (std::string_view file : {kCompletePackageName, kPartialPackageName}) {
        if (stopped()) return;
        consider(fd.get(), std::string(file), rootPath + "/" + folder + "/" + std::string(file));
      }
    }
  }

  void appleCaches() {
    const std::string basePath(kSoftwareUpdateCachesBase);
    const platform::UniqueFd base = openFolder(basePath);
    if (!base) return;
    const std::optional<std::vector<std::string>> outer = list(base.get());
    if (!outer) return;
    for (const std::string& a : *outer) {
      if (stopped()) return;
      if (a.size() != 2 || !isSafeDownloadName(a)) continue;
      const platform::UniqueFd aFd = openSubfolder(base.get(), a);
      if (!aFd) continue;
      const std::optional<std::vector<std::string>> inner = list(aFd.get());
      if (!inner) continue;
      for (const std::string& b : *inner) {
        if (stopped()) return;
        if (!isSafeDownloadName(b)) continue;
        const platform::UniqueFd bFd = openSubfolder(aFd.get(), b);
        if (!bFd) continue;
        cacheFolder(bFd.get(), basePath + "/" + a + "/" + b);
      }
    }
  }

  // <b>/C/com.apple.SoftwareUpdate, when this user folder has one.
  void cacheFolder(int userFolder, const std::string& userPath) {
    platform::UniqueFd c = platform::openAt(userFolder, "C", O_RDONLY | O_DIRECTORY);
    const std::string cachePath = userPath + "/C/com.apple.SoftwareUpdate";
    if (!c) {
      if (errno != ENOENT) warn("Could not safely read a cache directory: " + userPath + "/C");
      return;
    }
    const platform::UniqueFd cache = platform::openAt(c.get(), "com.apple.SoftwareUpdate", O_RDONLY | O_DIRECTORY);
    if (!cache) {
      if (errno != ENOENT) warn("Could not safely read a cache directory: " + cachePath);
      return;
    }
    walkCache(cache.get(), cachePath, 0);
  }

  void walkCache(int directory, const std::string& path, int depth) {
    const std::optional<std::vector<std::string>> names = list(directory);
    if (!names) return;
    for (const std::string& name : *names) {
      if (stopped()) return;
      const std::string entryPath = path + "/" + name;
      if (name == kPartialPackageName) {
        consider(directory, name, entryPath);
        continue;
      }
      const std::optional<platform::FileFacts> facts = platform::fileFactsAt(directory, name);
      if (!facts) {
        if (errno != ENOENT) warn("Could not inspect a directory entry: " + name);
        continue;
      }
      if (!facts->directory) continue;
      if (depth + 1 > kAppleCacheNestingLimit) {
        limitReached(/*stop=*/false);  // too deep to enter; the rest is still read
        continue;
      }
      const platform::UniqueFd sub = openSubfolder(directory, name);
      if (sub) walkCache(sub.get(), entryPath, depth + 1);
    }
  }

  const platform::Platform& platform_;
  InstallerDownloadDiscovery result_;
  bool stopped_ = false;
};

}  // namespace

InstallerDownloadDiscovery discoverInstallerDownloads(const platform::Platform& platform, double deadline) {
  return Discovery(platform, deadline).run();
}

}  // namespace tidewarden::storage
