// Activity evidence from lsof, ps and hdiutil answers.
#include "storage/activity_evidence.h"

#include <algorithm>
#include <array>
#include <set>
#include <string_view>

#include "platform/platform.h"
#include "platform/process_facts.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/tool_output_readers.h"

namespace tidewarden::storage {
namespace {

constexpr std::array<std::string_view, 5> kInstallationPrograms{"softwareupdate", "startosinstall",
                                                                 "osinstallersetupd", "osinstallerd",
                                                                 "installassistant"};
constexpr std::array<std::string_view, 2> kPackageAndImageTools{"pkgutil", "hdiutil"};

constexpr std::string_view kWhitespace = " \t\r\n\v\f";

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::string lowerCaseProgramName(std::string_view commandLine) {
  const std::string_view command = trimmed(commandLine);
  std::string name(command.substr(command.rfind('/') == std::string_view::npos ? 0 : command.rfind('/') + 1));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return name;
}

// ps -axo comm= answers; `programs` are the names that block. An answer that is not
// a listing of processes (readProcessCommands) is unknown, never "not running".
template <std::size_t N>
InstallerActivityEvidence readProcesses(const ScopedCommandResult& ps, const std::array<std::string_view, N>& programs,
                                        const char* running, const char* unknown) {
  if (!ps.complete || ps.status != 0 || !ps.standardError.empty()) return InstallerActivityEvidence::unknown(unknown);
  const std::optional<std::vector<std::string>> commands = readProcessCommands(ps.standardOutput);
  if (!commands) return InstallerActivityEvidence::unknown(unknown);
  for (const std::string& command : *commands) {
    const std::string name = lowerCaseProgramName(command);
    if (std::find(programs.begin(), programs.end(), name) != programs.end()) {
      return InstallerActivityEvidence::blocked(running);
    }
  }
  return InstallerActivityEvidence::clear();
}

bool atOrBeneath(const std::vector<std::string>& path, const std::vector<std::string>& root) {
  return path.size() >= root.size() && std::equal(root.begin(), root.end(), path.begin());
}

}  // namespace

std::map<std::string, InstallerActivityEvidence> readOpenFileEvidence(const std::vector<std::string>& paths,
                                                                      const ScopedCommandResult& lsof) {
  // Every path's key: its canonical spelling, or as given when it has none (then unknown).
  std::vector<std::pair<std::string, bool>> keys;
  for (const std::string& path : paths) {
    try {
      keys.emplace_back(canonicalPath(path), true);
    } catch (const InstallerSafetyError&) {
      keys.emplace_back(path, false);
    }
  }
  const auto everyPath = [&](const InstallerActivityEvidence& evidence) {
    std::map<std::string, InstallerActivityEvidence> result;
    for (const auto& [key, canonical] : keys) {
      result.insert_or_assign(key, canonical ? evidence : InstallerActivityEvidence::unknown(kOpenHandlesUnknownMessage));
    }
    return result;
  };
  const InstallerActivityEvidence unknown = InstallerActivityEvidence::unknown(kOpenHandlesUnknownMessage);
  if (!lsof.complete) return everyPath(unknown);
  if (lsof.status == 1 && trimmed(lsof.standardOutput).empty()) return everyPath(InstallerActivityEvidence::clear());
  if (lsof.status != 0) return everyPath(unknown);

  // Exit 0: lsof found open files, and its records must say which. Output that is
  // not field records, or records naming no file, says nothing about the candidates.
  const LsofFieldReading reading = readLsofFieldRecords(lsof.standardOutput);
  if (reading.unknownReason || reading.files.empty()) return everyPath(unknown);
  std::set<std::string> open;
  for (const LsofOpenFile& file : reading.files) {
    try {
      open.insert(canonicalPath(file.path));
    } catch (const InstallerSafetyError&) {
      // A name we cannot spell canonically could be any of the candidates.
      return everyPath(unknown);
    }
  }
  std::map<std::string, InstallerActivityEvidence> result = everyPath(InstallerActivityEvidence::clear());
  for (auto& [key, evidence] : result) {
    if (evidence.isClear() && open.contains(key)) evidence = InstallerActivityEvidence::blocked(kOpenInstallerFileMessage);
  }
  return result;
}

InstallerActivityEvidence readInstallationProcessEvidence(const ScopedCommandResult& ps) {
  return readProcesses(ps, kInstallationPrograms, kInstallationProcessRunningMessage,
                       kInstallationProcessUnknownMessage);
}

InstallerActivityEvidence readPreparationProcessEvidence(const ScopedCommandResult& ps) {
  return readProcesses(ps, kPackageAndImageTools, kPreparationProcessRunningMessage,
                       kPreparationProcessUnknownMessage);
}

InstallerActivityEvidence readPreparationOpenFileEvidence(const ScopedCommandResult& lsof, pid_t ownPid) {
  if (!lsof.complete) return InstallerActivityEvidence::unknown(kPreparationOpenFilesIncompleteMessage);
  const LsofFieldReading reading = readLsofFieldRecords(lsof.standardOutput);
  if (reading.unknownReason && *reading.unknownReason == kLsofUndecodableMessage) {
    return InstallerActivityEvidence::unknown(*reading.unknownReason);
  }
  if (lsof.status == 1 && trimmed(lsof.standardOutput).empty()) return InstallerActivityEvidence::clear();
  // lsof exits 0 only when it found something: no record at all then is not "nothing".
  if (lsof.status != 0 || (!reading.unknownReason && reading.files.empty())) {
    return InstallerActivityEvidence::unknown(kPreparationOpenFilesUnexpectedMessage);
  }
  if (reading.unknownReason) return InstallerActivityEvidence::unknown(*reading.unknownReason);
  for (const LsofOpenFile& file : reading.files) {
    if (file.pid != ownPid) {
      return InstallerActivityEvidence::blocked("Another process (PID " + std::to_string(file.pid) +
                                                ") still has preparation files open. Nothing was removed.");
    }
  }
  return InstallerActivityEvidence::clear();
}

AttachedImagesAnswer readAttachedImages(const ScopedCommandResult& hdiutil) {
  if (!hdiutil.complete || hdiutil.status != 0) return {{}, kAttachedImagesFailedMessage};
  return readAttachedImageList(hdiutil.standardOutput);
}

InstallerActivityEvidence imageEvidence(const std::vector<PreparationAttachedImage>& images, const std::string& root) {
  std::optional<std::vector<std::string>> rootComponents;
  try {
    rootComponents = pathComponents(canonicalPath(root));
  } catch (const InstallerSafetyError& error) {
    return InstallerActivityEvidence::unknown(error.what());
  }
  if (!rootComponents) return InstallerActivityEvidence::unknown("Malformed preparation path: " + root);
  const auto associated = [&](const std::string& path) {
    const std::optional<std::vector<std::string>> components = pathComponents(path);
    // Image paths come canonical from readAttachedImageList; one that is not cannot be
    // shown to lie elsewhere.
    return !components || atOrBeneath(*components, *rootComponents);
  };
  for (const PreparationAttachedImage& image : images) {
    if (associated(image.imagePath) || std::any_of(image.mounts.begin(), image.mounts.end(), associated)) {
      return InstallerActivityEvidence::blocked(kImageAssociatedMessage);
    }
  }
  return InstallerActivityEvidence::clear();
}

std::map<std::string, InstallerActivityEvidence> openFileEvidence(const platform::Platform& platform,
                                                                  const std::vector<std::string>& paths) {
  if (paths.empty()) return {};
  return readOpenFileEvidence(paths, runScopedCommand(platform, platform::tools::lsofDownloadCandidates(paths)));
}

InstallerActivityEvidence installationProcessEvidence(const platform::Platform& platform) {
  return readInstallationProcessEvidence(runScopedCommand(platform, platform::tools::psCommandNames()));
}

InstallerActivityEvidence preparationOpenFileEvidence(const platform::Platform& platform,
                                                      const std::string& directory) {
  const ScopedCommandResult lsof = runScopedCommand(platform, platform::tools::lsofPreparationDirectory(directory));
  return readPreparationOpenFileEvidence(lsof, platform.processFacts.processIdentifier());
}

InstallerActivityEvidence preparationProcessEvidence(const platform::Platform& platform) {
  return readPreparationProcessEvidence(runScopedCommand(platform, platform::tools::psCommandNames()));
}

AttachedImagesAnswer attachedImages(const platform::Platform& platform) {
  return readAttachedImages(runScopedCommand(platform, platform::tools::hdiutilInfo()));
}

}  // namespace tidewarden::storage
