// `tidewarden-sim world download …`: installer downloads, their lock holders and writers on the simulated Mac.
#include "sim/download_verbs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/safe_name.h"
#include "platform/unique_fd.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

using platform::UniqueFd;
using Arguments = std::span<const std::string>;

constexpr std::string_view kDownloadsRoot = "/Users/Shared/Tidewarden/Downloads";
constexpr std::string_view kLockName = ".tidewarden-download.lock";
constexpr std::string_view kDefaultName = "InstallAssistant.pkg.partial";
constexpr std::string_view kDefaultCache = "zz/sw0000gn_softwareupdate";
constexpr std::string_view kSoftwareUpdateAccount = "_softwareupdate";
constexpr std::int64_t kMaxSize = std::int64_t{1} << 40;
// Blocks really allocated for a new file; the rest of a larger file is a hole, so a
// simulated 12 GB download does not fill the host's disk.
constexpr std::int64_t kMaxAllocated = std::int64_t{64} << 20;
constexpr std::int64_t kMaxAgeSeconds = 315360000;
// A downloader or writer that nobody stops ends by itself after this long.
constexpr int kHolderLifetimeSeconds = 3600;
constexpr std::int64_t kMaxGrowSeconds = 3600;
constexpr std::size_t kGrowChunkBytes = 4096;
constexpr auto kGrowInterval = std::chrono::milliseconds(100);
constexpr auto kReleaseBound = std::chrono::seconds(10);

std::int64_t parseCount(const std::string& option, const std::string& text, std::int64_t minimum,
                        std::int64_t maximum) {
  const std::string expected =
      option + " needs a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
  if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw WorldVerbUsageError(expected);
  }
  const std::int64_t value = std::stoll(text);
  if (value < minimum || value > maximum) throw WorldVerbUsageError(expected);
  return value;
}

// One path component as given (spaces, long names and odd characters are allowed: the
// helper is meant to meet them), never one that walks anywhere.
std::string component(const std::string& option, const std::string& text) {
  if (!platform::SafeName::make(text)) throw WorldVerbUsageError(option + " needs one file name (no '/', not . or ..)");
  return text;
}

std::vector<std::string> components(const std::string& option, const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, '/')) parts.push_back(component(option, part));
  if (parts.empty() || text.back() == '/') throw WorldVerbUsageError(option + " needs names separated by '/'");
  return parts;
}

std::string errorText(int err) { return platform::errnoText(err); }

UniqueFd openRoot(const std::string& directory) {
  const std::string path = directory + "/root";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw WorldError("Cannot open the simulated root " + path + ": " + errorText(errno));
  return fd;
}

// Opens the folder `name` in `parent`, making it (owned by `owner`, with `mode`) when it
// is absent. An existing folder is used as it is.
UniqueFd folderAt(const UniqueFd& parent, const std::string& name, uid_t owner, mode_t mode,
                  const std::string& shown) {
  const bool made = ::mkdirat(parent.get(), name.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) throw WorldError("Cannot create " + shown + ": " + errorText(errno));
  UniqueFd fd = platform::openAt(parent.get(), name, O_RDONLY | O_DIRECTORY);
  if (!fd) throw WorldError("Cannot open " + shown + " as a folder: " + errorText(errno));
  if (made && (::fchown(fd.get(), owner, 0) != 0 || ::fchmod(fd.get(), mode) != 0)) {
    throw WorldError("Cannot set the owner and mode of " + shown + ": " + errorText(errno));
  }
  return fd;
}

UniqueFd folderPath(const UniqueFd& root, const std::vector<std::pair<std::string, uid_t>>& steps, mode_t mode,
                    std::string& shown) {
  UniqueFd current = platform::openBeneath(root, "/", O_RDONLY | O_DIRECTORY);
  if (!current) throw WorldError("Cannot open the simulated root: " + errorText(errno));
  for (const auto& [name, owner] : steps) {
    shown += "/" + name;
    current = folderAt(current, name, owner, mode, shown);
  }
  return current;
}

uid_t accountId(const WorldRecord& world, const std::string& name) {
  std::string names;
  for (const WorldAccount& account : world.accounts.users) {
    if (account.name == name) return static_cast<uid_t>(account.uid);
    names += (names.empty() ? "" : ", ") + account.name;
  }
  throw WorldVerbUsageError("--owner needs an account of this Mac (" + names + ")");
}

struct NewDownloadFile {
  std::string name;
  std::int64_t size = 0;
  uid_t owner = 0;
  std::optional<std::int64_t> ageSeconds;
};

// Reads --name, --size, --owner and --age; `defaultOwner` when --owner is absent.
NewDownloadFile newDownloadFile(const std::map<std::string, std::string>& options, const WorldRecord& world,
                  const std::string& defaultOwner) {
  NewDownloadFile file;
  file.name = options.contains("--name") ? component("--name", options.at("--name")) : std::string(kDefaultName);
  if (!options.contains("--size")) throw WorldVerbUsageError("--size B is required");
  file.size = parseCount("--size", options.at("--size"), 0, kMaxSize);
  file.owner = accountId(world, options.contains("--owner") ? options.at("--owner") : defaultOwner);
  if (options.contains("--age")) file.ageSeconds = parseCount("--age", options.at("--age"), 0, kMaxAgeSeconds);
  return file;
}

// Makes the file exclusively: an existing entry of that name is left as it is.
void makeFile(const UniqueFd& folder, const NewDownloadFile& file, double macNow, const std::string& shown) {
  UniqueFd fd = platform::openAt(folder.get(), file.name, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!fd) throw WorldError("Cannot create " + shown + ": " + errorText(errno));
  const std::int64_t allocated = std::min(file.size, kMaxAllocated);
  if (allocated > 0 && ::fallocate(fd.get(), 0, 0, allocated) != 0 && errno != EOPNOTSUPP) {
    throw WorldError("Cannot allocate " + shown + ": " + errorText(errno));
  }
  if (::ftruncate(fd.get(), file.size) != 0 || ::fchown(fd.get(), file.owner, 0) != 0) {
    throw WorldError("Cannot size or give away " + shown + ": " + errorText(errno));
  }
  // Without an age the file keeps the host's times. The Mac's clock may run ahead of the
  // host's (world set-clock); an age is counted on the Mac's clock.
  if (!file.ageSeconds) return;
  const double modified = macNow - static_cast<double>(*file.ageSeconds) + platform::kReferenceDateOffset;
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(modified);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  if (::futimens(fd.get(), times) != 0) throw WorldError("Cannot date " + shown + ": " + errorText(errno));
}

double macNow(const WorldRecord& world) { return platform::makeSystemClock()->now() + world.clock.aheadSeconds; }

void addOwnDownload(const std::string& directory, Arguments arguments) {
  const auto options = takeOptions("download add", arguments, {"--folder", "--name", "--size", "--owner", "--age"});
  if (!options.contains("--folder")) throw WorldVerbUsageError("--folder F is required");
  const std::string folder = component("--folder", options.at("--folder"));
  const WorldRecord world = World::read(directory);
  const NewDownloadFile file = newDownloadFile(options, world, "root");
  const UniqueFd root = openRoot(directory);
  std::string shown;
  const UniqueFd parent = folderPath(
      root, {{"Users", 0}, {"Shared", 0}, {"Tidewarden", 0}, {"Downloads", 0}, {folder, 0}}, 0755, shown);
  makeFile(parent, file, macNow(world), shown + "/" + file.name);
}

void addAppleDownload(const std::string& directory, Arguments arguments) {
  const auto options =
      takeOptions("download apple", arguments, {"--cache", "--subfolder", "--name", "--size", "--owner", "--age"});
  const std::vector<std::string> cache =
      components("--cache", options.contains("--cache") ? options.at("--cache") : std::string(kDefaultCache));
  if (cache.size() != 2) throw WorldVerbUsageError("--cache needs A/B, two folder names");
  std::vector<std::string> subfolders;
  if (options.contains("--subfolder")) subfolders = components("--subfolder", options.at("--subfolder"));
  const WorldRecord world = World::read(directory);
  const NewDownloadFile file = newDownloadFile(options, world, std::string(kSoftwareUpdateAccount));
  const uid_t updater = accountId(world, std::string(kSoftwareUpdateAccount));
  std::vector<std::pair<std::string, uid_t>> steps{{"private", 0}, {"var", 0},      {"folders", 0},
                                                   {cache[0], 0},  {cache[1], updater}, {"C", updater},
                                                   {"com.apple.SoftwareUpdate", updater}};
  for (const std::string& name : subfolders) steps.emplace_back(name, updater);
  const UniqueFd root = openRoot(directory);
  std::string shown;
  const UniqueFd parent = folderPath(root, steps, 0755, shown);
  makeFile(parent, file, macNow(world), shown + "/" + file.name);
}

// The start time of a live process in clock ticks since boot (field 22 of
// /proc/PID/stat), or nothing when there is no such process or it has ended.
std::optional<std::int64_t> processStartTicks(std::int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return std::nullopt;
  std::string field;
  for (int index = 4; index < 22 && fields >> field; ++index) {
  }
  std::int64_t ticks = 0;
  if (!(fields >> ticks)) return std::nullopt;
  return ticks;
}

bool holderAlive(const WorldDownloadHolder& holder) { return processStartTicks(holder.pid) == holder.startTicks; }

void reportAndClose(int fd, const std::string& text) {
  (void)platform::writeAll(fd, text);
  ::close(fd);
}

// Runs `body` in a process of its own session that outlives this command: the command
// forks, the child starts a new session and forks the process that runs `body`, then
// ends, so the holder is nobody's child here and keeps no terminal or output of ours.
// `body` writes "ok\n" (or a sentence) to the descriptor it gets once it is set up.
// Returns the holder's pid; throws WorldError with the holder's sentence when it failed.
pid_t spawnHolder(const std::function<void(int report)>& body) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw WorldError("Cannot start a simulated process: " + errorText(errno));
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  const pid_t child = ::fork();
  if (child < 0) throw WorldError("Cannot start a simulated process: " + errorText(errno));
  if (child == 0) {
    ::setsid();
    const pid_t holder = ::fork();
    if (holder != 0) ::_exit(holder < 0 ? 1 : 0);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    const int report = writeEnd.release();
    (void)readEnd.release();
    ::close(ends[0]);
    body(report);
    ::_exit(0);
  }
  writeEnd.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  std::string text;
  (void)platform::readAll(readEnd.get(), text, 4096);
  if (!text.starts_with("ok ")) {
    throw WorldError(text.empty() ? "The simulated process ended before it was ready." : text);
  }
  return static_cast<pid_t>(std::stoll(text.substr(3)));
}

std::string ready() { return "ok " + std::to_string(::getpid()); }

void recordHolder(const std::string& directory, WorldDownloadHolderKind kind, const std::string& path, pid_t pid) {
  const std::optional<std::int64_t> ticks = processStartTicks(pid);
  World::update(directory, [&](WorldRecord& world) {
    auto& holders = world.downloads.holders;
    std::erase_if(holders, [](const WorldDownloadHolder& holder) { return !holderAlive(holder); });
    if (ticks) holders.push_back({kind, path, pid, *ticks});
  });
}

std::string lockPath(const std::string& folder) {
  return std::string(kDownloadsRoot) + "/" + folder + "/" + std::string(kLockName);
}

void holdLock(const std::string& directory, Arguments arguments) {
  if (arguments.size() != 1) throw WorldVerbUsageError("download lock needs one folder name F");
  const std::string folder = component("download lock", arguments[0]);
  const UniqueFd root = openRoot(directory);
  const std::string folderPath = std::string(kDownloadsRoot) + "/" + folder;
  const UniqueFd parent = platform::openBeneath(root, folderPath, O_RDONLY | O_DIRECTORY);
  if (!parent) throw WorldError("Cannot open the download folder " + folderPath + ": " + errorText(errno));
  const pid_t pid = spawnHolder([&](int report) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    const UniqueFd lock = platform::openAt(parent.get(), std::string(kLockName), O_RDWR | O_CREAT, 0600);
    if (!lock) return reportAndClose(report, "Cannot open " + lockPath(folder) + ": " + errorText(errno));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      return reportAndClose(report, "The download lock " + lockPath(folder) + " is already held; nothing was changed.");
    }
    reportAndClose(report, ready());
    const timespec lifetime{kHolderLifetimeSeconds, 0};
    while (sigtimedwait(&stop, nullptr, &lifetime) < 0 && errno == EINTR) {
    }
  });
  recordHolder(directory, WorldDownloadHolderKind::lock, lockPath(folder), pid);
}

void releaseLock(const std::string& directory, Arguments arguments) {
  if (arguments.size() != 1) throw WorldVerbUsageError("download unlock needs one folder name F");
  const std::string folder = component("download unlock", arguments[0]);
  const std::string path = lockPath(folder);
  std::optional<WorldDownloadHolder> found;
  for (const WorldDownloadHolder& holder : World::read(directory).downloads.holders) {
    if (holder.kind == WorldDownloadHolderKind::lock && holder.path == path && holderAlive(holder)) found = holder;
  }
  if (!found) throw WorldError("No simulated downloader holds the download lock " + path + "; nothing was changed.");
  ::kill(static_cast<pid_t>(found->pid), SIGTERM);
  // Returns once the lock is free, so the next request sees it released.
  const UniqueFd root = openRoot(directory);
  const UniqueFd lock = platform::openBeneath(root, path, O_RDONLY);
  const auto deadline = std::chrono::steady_clock::now() + kReleaseBound;
  while (lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw WorldError("The downloader holding " + path + " did not let go within 10 seconds.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  World::update(directory, [&](WorldRecord& world) {
    std::erase_if(world.downloads.holders, [&](const WorldDownloadHolder& holder) {
      return holder == *found || !holderAlive(holder);
    });
  });
}

void growFile(const std::string& directory, Arguments arguments) {
  if (arguments.empty()) throw WorldVerbUsageError("download grow needs the logical path of a file");
  const std::string path = arguments[0];
  const auto options = takeOptions("download grow", arguments.subspan(1), {"--seconds"});
  const std::int64_t seconds =
      options.contains("--seconds") ? parseCount("--seconds", options.at("--seconds"), 1, kMaxGrowSeconds) : 30;
  const UniqueFd root = openRoot(directory);
  const UniqueFd file = platform::openBeneath(root, path, O_WRONLY | O_APPEND);
  if (!file) throw WorldError("Cannot open " + path + " for writing: " + errorText(errno));
  const std::optional<platform::FileFacts> facts = platform::fileFacts(file.get());
  if (!facts || !facts->regular) throw WorldError(path + " is not a regular file; nothing was changed.");
  const pid_t pid = spawnHolder([&](int report) {
    const std::string chunk(kGrowChunkBytes, 'w');
    if (!platform::writeAll(file.get(), chunk)) {
      return reportAndClose(report, "Cannot append to " + path + ": " + errorText(errno));
    }
    reportAndClose(report, ready());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(kGrowInterval);
      if (!platform::writeAll(file.get(), chunk)) return;
    }
  });
  recordHolder(directory, WorldDownloadHolderKind::writer, path, pid);
}

}  // namespace

void runDownloadVerb(const std::string& directory, std::span<const std::string> arguments) {
  if (arguments.empty()) throw WorldVerbUsageError("download needs add, apple, lock, unlock or grow");
  const std::string& verb = arguments[0];
  const Arguments rest = arguments.subspan(1);
  if (verb == "add") return addOwnDownload(directory, rest);
  if (verb == "apple") return addAppleDownload(directory, rest);
  if (verb == "lock") return holdLock(directory, rest);
  if (verb == "unlock") return releaseLock(directory, rest);
  if (verb == "grow") return growFile(directory, rest);
  throw WorldVerbUsageError("unknown download verb " + verb + " (add, apple, lock, unlock, grow)");
}

}  // namespace tidewarden::sim
