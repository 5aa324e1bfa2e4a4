// The `tidewarden-sim world preparation ...` verbs: leftover preparation workspaces laid out in the simulated root.
#include "sim/preparation_verbs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <optional>

#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "platform/uuid.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"
#include "storage/preparation_storage_gate.h"
#include "storage/safe_paths.h"
#include "storage/storage_messages.h"

namespace tidewarden::sim {
namespace {

using platform::UniqueFd;

constexpr int kMaxFiles = 100000;
constexpr std::size_t kFileBytes = 4096;

[[noreturn]] void fail(const std::string& what, int err) {
  throw WorldError("Cannot lay out the preparation workspace: " + what + ": " + platform::errnoText(err));
}

UniqueFd makeDirectory(int parent, const std::string& name, mode_t mode, bool mayExist) {
  if (::mkdirat(parent, name.c_str(), mode) != 0 && !(mayExist && errno == EEXIST)) fail(name, errno);
  UniqueFd fd = platform::openAt(parent, name, O_RDONLY | O_DIRECTORY);
  if (!fd) fail(name, errno);
  return fd;
}

void writeFile(int parent, const std::string& name, std::string_view bytes) {
  UniqueFd fd = platform::openAt(parent, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!fd || !platform::writeAll(fd.get(), bytes)) fail(name, errno);
}

struct Layout {
  std::string id = platform::makeUuidString();
  int files = 3;
  bool fifo = false;
  std::string purpose = "installer";
};

Layout parseLayout(std::span<const std::string> arguments) {
  Layout layout;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 == arguments.size()) throw WorldVerbUsageError(option + " needs a value");
      return arguments[++i];
    };
    if (option == "--id") {
      const std::string& text = value();
      const auto id = platform::parseUuidString(text);
      if (!id) throw WorldVerbUsageError("--id needs a UUID, got " + text);
      layout.id = *id;
    } else if (option == "--files") {
      const std::string& text = value();
      if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(text) > kMaxFiles) {
        throw WorldVerbUsageError("--files needs a count from 0 to 100000");
      }
      layout.files = std::stoi(text);
    } else if (option == "--fifo") {
      layout.fifo = true;
    } else if (option == "--manifest-purpose") {
      layout.purpose = value();
    } else {
      throw WorldVerbUsageError("unknown option " + option + " for preparation add-workspace");
    }
  }
  return layout;
}

void addWorkspace(const std::string& directory, std::span<const std::string> arguments) {
  const Layout layout = parseLayout(arguments);
  const std::string rootPath = directory + "/" + std::string(SimulatedMac::kRootFolder);
  UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root) fail(rootPath, errno);
  UniqueFd parent = platform::openBeneath(root, storage::kHelperStorageParent, O_RDONLY | O_DIRECTORY);
  if (!parent) fail(std::string(storage::kHelperStorageParent), errno);
  UniqueFd base = makeDirectory(parent.get(), std::string(storage::kHelperStorageBaseName), 0700, true);
  UniqueFd preparation = makeDirectory(base.get(), std::string(storage::kPreparationRootName), 0700, true);
  UniqueFd workspace = makeDirectory(preparation.get(), layout.id, 0700, false);

  storage::PreparationManifest manifest;
  manifest.operationID = layout.id;
  manifest.version = "15.1";
  manifest.build = "24B83";
  manifest.purpose = layout.purpose;
  manifest.createdAt = platform::json::Date{platform::makeSystemClock()->now()};
  manifest.phase = "extracting installer";
  writeFile(workspace.get(), std::string(storage::kPreparationManifestName),
            platform::json::encode(platform::json::encodeValue(manifest)).value_or("{}"));

  UniqueFd expanded = makeDirectory(workspace.get(), "Expanded", 0755, false);
  UniqueFd application = makeDirectory(expanded.get(), "Install macOS Sequoia.app", 0755, false);
  UniqueFd contents = makeDirectory(application.get(), "Contents", 0755, false);
  writeFile(contents.get(), "Info.plist", "<plist version=\"1.0\"><dict/></plist>\n");
  UniqueFd resources = makeDirectory(contents.get(), "Resources", 0755, false);
  const std::string block(kFileBytes, 'x');
  for (int i = 0; i < layout.files; ++i) writeFile(resources.get(), "file-" + std::to_string(i) + ".bin", block);
  if (::symlinkat("Resources", contents.get(), "Frameworks") != 0) fail("Frameworks", errno);
  if (layout.fifo && ::mkfifoat(expanded.get(), "progress.fifo", 0600) != 0) fail("progress.fifo", errno);

  std::cout << storage::kPreparationRoot << "/" << layout.id << std::endl;
}

}  // namespace

void preparationVerb(const std::string& directory, std::span<const std::string> arguments) {
  if (arguments.empty() || arguments[0] != "add-workspace") {
    throw WorldVerbUsageError("preparation needs add-workspace");
  }
  addWorkspace(directory, arguments.subspan(1));
}

}  // namespace tidewarden::sim
