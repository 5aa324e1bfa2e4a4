// Startup item evaluation: the property list, the program it runs, the warning signs, the evidence score.
#include "quarantine/startup_item_evaluation.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <stdexcept>

#include "platform/process_facts.h"
#include "platform/code_signing.h"
#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/regex.h"
#include "platform/utf8.h"
#include "quarantine/background_quarantine_error.h"
#include "quarantine/quarantine_paths.h"

namespace tidewarden::quarantine {
namespace {

using Error = BackgroundQuarantineError;

constexpr std::array<std::string_view, 8> kInterpreterNames = {"sh",     "bash",     "zsh",  "python",
                                                               "python3", "osascript", "ruby", "perl"};
constexpr std::array<std::string_view, 5> kUserWritablePrefixes = {"/Users/", "/tmp/", "/private/tmp/", "/var/tmp/",
                                                                   "/private/var/folders/"};
constexpr std::string_view kAppleIdentifierPrefix = "com.apple.";
constexpr const char* kAppleRequirement = "anchor apple";

[[noreturn]] void refuse(Error::Case errorCase) { throw Error(errorCase); }

std::string lowercased(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

// The extension of the last component: what follows its last "." (none for a name
// that only starts with one).
std::string extensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return "";
  return std::string(name.substr(dot + 1));
}

// Pins the regular file at `path`: its directory and identity. Nothing when the path
// does not lead, without links, to a regular file.
std::optional<PinnedFile> pinRegularFile(const platform::UniqueFd& root, const std::string& path) {
  LocatedEntry entry = locateEntry(root, path);
  if (!entry.status || entry.status->kind != platform::EntryKind::regular) return std::nullopt;
  const auto directoryIdentity = platform::entryStatusOf(entry.directory.get());
  if (!directoryIdentity) return std::nullopt;
  return PinnedFile{path, std::move(entry.directory), *directoryIdentity, *entry.status};
}

// Reads the pinned file whole, at most `maxBytes`, checking that the opened file is the
// pinned one. Nothing when it cannot be opened or read, or is another file now.
std::optional<std::string> readPinned(const PinnedFile& file, std::size_t maxBytes) {
  const auto name = platform::SafeName::make(lastComponent(file.path));
  if (!name) return std::nullopt;
  const platform::UniqueFd fd = platform::openAt(file.directory.get(), *name, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::nullopt;
  const auto opened = platform::entryStatusOf(fd.get());
  if (!opened || !opened->unchangedSince(file.identity)) {
    return std::nullopt;
  }
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, maxBytes)) return std::nullopt;
  return bytes;
}

// Still the same file in the same place as when it was pinned.
bool stillPinned(const platform::UniqueFd& root, const PinnedFile& file) {
  const LocatedEntry now = locateEntry(root, file.path);
  if (!now.status) return false;
  const auto directory = platform::entryStatusOf(now.directory.get());
  return directory && directory->sameObject(file.directoryIdentity) && now.status->unchangedSince(file.identity);
}

std::string readPropertyListText(const PinnedFile& plist) {
  const auto name = platform::SafeName::make(lastComponent(plist.path));
  const platform::UniqueFd fd = platform::openAt(plist.directory.get(), *name, O_RDONLY | O_NONBLOCK);
  if (!fd) throw std::runtime_error("Cannot read " + plist.path + ": " + platform::errnoText(errno));
  const auto opened = platform::entryStatusOf(fd.get());
  // Replaced between the look and the open: not the item that was named.
  if (!opened || !opened->unchangedSince(plist.identity)) refuse(Error::Case::identityChanged);
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kMaxPropertyListBytes)) {
    throw std::runtime_error("Cannot read " + plist.path + ": " + platform::errnoText(errno));
  }
  return bytes;
}

// The "Program" value if it is a non-empty string, else the first element of
// "ProgramArguments" when that is an array of strings, else "". `arguments` receives
// the ProgramArguments strings (empty when they are not all strings).
std::string programOf(const platform::PlistNode& root, std::vector<std::string>& arguments) {
  arguments.clear();
  const platform::PlistNode list = root.get("ProgramArguments");
  if (list.type() == platform::PlistType::array) {
    for (const platform::PlistNode& element : list.elements()) {
      const auto text = element.asString();
      if (!text) {
        arguments.clear();
        break;
      }
      arguments.push_back(*text);
    }
  }
  if (const auto program = root.get("Program").asString(); program && !program->empty()) return *program;
  return arguments.empty() ? std::string() : arguments.front();
}

bool isInterpreter(std::string_view program) {
  const std::string name = lastComponent(program);
  return std::find(kInterpreterNames.begin(), kInterpreterNames.end(), name) != kInterpreterNames.end();
}

bool isUserWritable(std::string_view path) {
  return std::any_of(kUserWritablePrefixes.begin(), kUserWritablePrefixes.end(),
                     [&](std::string_view prefix) { return path.starts_with(prefix); });
}

bool isHidden(std::string_view path) {
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (component.starts_with('.') && component != "." && component != "..") return true;
    start = end + 1;
  }
  return false;
}

constexpr const char* kTooManyCandidates =
    "The script names more than 1024 quoted paths, so Tidewarden could not tell which program it runs and "
    "counted that program as unknown evidence.";
constexpr const char* kSearchGaveUp =
    "The script could not be searched for the program it runs, so Tidewarden counted that program as unknown "
    "evidence.";

// What the search for a related executable found: the first quoted absolute path of the
// script that is another existing regular file, or why the search could not finish.
struct RelatedSearch {
  std::optional<PinnedFile> found;
  std::optional<std::string> gap;
};

RelatedSearch relatedExecutableIn(const platform::UniqueFd& root, std::string_view text,
                                  const std::string& launchTarget) {
  static const platform::Regex singleQuoted = *platform::Regex::compile("'(/[^']+)'");
  static const platform::Regex doubleQuoted = *platform::Regex::compile("\"(/[^\"]+)\"");
  std::size_t examined = 0;
  for (const platform::Regex* pattern : {&singleQuoted, &doubleQuoted}) {
    // One more than the limit, so that reaching it is seen.
    const auto matches = pattern->matchAll(text, kMaxRelatedCandidates + 1);
    if (!matches) return {std::nullopt, kSearchGaveUp};
    for (const auto& groups : *matches) {
      if (++examined > kMaxRelatedCandidates) return {std::nullopt, kTooManyCandidates};
      if (groups.size() < 2 || !groups[1]) continue;
      const std::string candidate = standardizedPath(*groups[1]);
      if (candidate == launchTarget) continue;
      if (auto pinned = pinRegularFile(root, candidate)) return {std::move(pinned), std::nullopt};
    }
  }
  return {};
}

}  // namespace

const PinnedFile* InspectedStartupItem::pinnedFile(std::string_view path) const {
  for (const PinnedFile& file : pinned) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

std::vector<std::string> scriptSignalsIn(std::string_view text) {
  const std::string lower = lowercased(text);
  const auto has = [&](std::string_view phrase) { return lower.find(phrase) != std::string::npos; };
  std::vector<std::string> signals;
  if ((has("while true") || has("while :")) && has("sleep")) signals.emplace_back("persistent retry loop");
  if (has("launchctl asuser") || has("launchctl bootstrap")) {
    signals.emplace_back("launches additional code using launchctl");
  }
  // pgrep is how a watchdog script asks whether its process still runs.
  if (has("pgrep") && has("launchctl")) signals.emplace_back("checks for a process and relaunches it");
  return signals;
}

RepairSignatureKind signatureKind(platform::CodeSigning& codeSigning, const std::string& path) {
  std::shared_ptr<const platform::StaticCodeObject> code;
  if (codeSigning.createStaticCodeWithPath(path, platform::kSecCSDefaultFlags, code) != platform::kErrSecSuccess ||
      !code) {
    return RepairSignatureKind::unsignedCode;
  }
  std::optional<platform::SigningInformation> information;
  if (codeSigning.copySigningInformation(*code, platform::kSecCSSigningInformation, information) !=
          platform::kErrSecSuccess ||
      !information) {
    return RepairSignatureKind::unknown;
  }
  // Code without any signature still has an information record, one with no identifier.
  if (!information->identifier) return RepairSignatureKind::unsignedCode;
  if ((information->flags & platform::kSecCodeSignatureAdhoc) != 0) return RepairSignatureKind::adhoc;
  if (!information->teamIdentifier || information->teamIdentifier->empty()) return RepairSignatureKind::unknown;
  // The information states what the signature claims; only a signature that verifies
  // over these bytes is believed, and only `anchor apple` (Apple's own software, not a
  // registered developer under the same anchor) makes code Apple's, whatever identifier
  // a team chose.
  if (codeSigning.checkStaticValidity(*code, platform::kSecCSDefaultFlags, nullptr) != platform::kErrSecSuccess) {
    return RepairSignatureKind::unknown;
  }
  if (information->identifier->starts_with(kAppleIdentifierPrefix)) {
    std::shared_ptr<const platform::CodeRequirement> apple;
    if (codeSigning.createRequirementWithString(kAppleRequirement, platform::kSecCSDefaultFlags, apple) ==
            platform::kErrSecSuccess &&
        codeSigning.checkStaticValidity(*code, platform::kSecCSDefaultFlags, apple.get()) ==
            platform::kErrSecSuccess) {
      return RepairSignatureKind::apple;
    }
  }
  return RepairSignatureKind::developerID;
}

InspectedStartupItem evaluateStartupItem(platform::Platform& platform, const BackgroundQuarantineRequest& request) {
  InspectedStartupItem item;

  // 1. A property list directly in /Library/LaunchDaemons, a regular file by link-status.
  item.plistURL = standardizedPath(request.plistPath);
  if (parentPath(item.plistURL) != kLaunchDaemonsFolder || lowercased(extensionOf(lastComponent(item.plistURL))) != "plist") {
    refuse(Error::Case::unsafePath);
  }
  std::optional<PinnedFile> plist = pinRegularFile(platform.root, item.plistURL);
  if (!plist) refuse(Error::Case::unsafePath);

  // 2. Its Label must still be the one the application saw.
  const std::string plistText = readPropertyListText(*plist);
  const auto list = platform::PropertyList::parse(plistText, kMaxPropertyListBytes);
  if (!list) throw std::runtime_error("The property list " + item.plistURL + " could not be read: it is not a valid property list.");
  const platform::PlistNode root = list->root();
  const auto label = root.get("Label").asString();
  if (root.type() != platform::PlistType::dictionary || !label || *label != request.label) {
    refuse(Error::Case::identityChanged);
  }
  item.label = *label;
  item.pinned.push_back(std::move(*plist));

  // 3-5. The program, and the file it runs.
  std::vector<std::string> arguments;
  const std::string program = programOf(root, arguments);
  if (!program.starts_with('/')) refuse(Error::Case::targetNotFound);
  std::string launchTarget = program;
  if (isInterpreter(program)) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      if (arguments[i].starts_with('/') && entryExists(platform.root, standardizedPath(arguments[i])) == true) {
        launchTarget = arguments[i];
        break;
      }
    }
  }
  item.launchTarget = standardizedPath(launchTarget);
  std::optional<PinnedFile> target = pinRegularFile(platform.root, item.launchTarget);
  if (!target) refuse(Error::Case::unsafePath);

  // 6 and 10. A small UTF-8 script is searched for a related executable and scanned for
  // warning phrases; its size comes from its status, before anything is read.
  std::optional<std::string> script;
  if (target->identity.size <= kMaxScannedScriptBytes) {
    script = readPinned(*target, static_cast<std::size_t>(kMaxScannedScriptBytes));
    if (script && !platform::isValidUtf8(*script)) script.reset();
  }
  std::optional<PinnedFile> related;
  if (script) {
    RelatedSearch search = relatedExecutableIn(platform.root, *script, item.launchTarget);
    related = std::move(search.found);
    item.relatedSearchGap = std::move(search.gap);
    item.scriptSignals = scriptSignalsIn(*script);
  }
  if (related) item.relatedExecutable = related->path;

  // 7. Where the judged programs lie.
  item.userWritable = isUserWritable(item.launchTarget) || (item.relatedExecutable && isUserWritable(*item.relatedExecutable));
  item.hiddenPath = isHidden(item.launchTarget) || (item.relatedExecutable && isHidden(*item.relatedExecutable));

  // 8-9. Signature and owner of the examined program, which must still be the file that
  // was pinned once they are known.
  // When the search could not finish, the examined program is unknown: so are its
  // signature and its owner.
  const PinnedFile& examined = related ? *related : *target;
  if (item.relatedSearchGap) {
    item.signature = RepairSignatureKind::unknown;
  } else {
    item.signature = signatureKind(platform.codeSigning, walkPath(examined.path));
    item.owner = platform.processFacts.userName(examined.identity.owner);
  }
  if (!stillPinned(platform.root, examined)) refuse(Error::Case::identityChanged);

  // 11.
  item.appleLikeLabel = item.label.starts_with(kAppleIdentifierPrefix);

  item.pinned.push_back(std::move(*target));
  if (related) item.pinned.push_back(std::move(*related));
  return item;
}

EvidenceScore evidenceScore(const InspectedStartupItem& item) {
  EvidenceScore evidence;
  const auto add = [&](int score, int count) {
    evidence.score += score;
    evidence.count += count;
  };
  if (item.userWritable && item.hiddenPath) {
    add(5, 2);
  } else if (item.userWritable) {
    add(4, 1);
  } else if (item.hiddenPath) {
    add(1, 1);
  }
  if (item.appleLikeLabel && item.signature != RepairSignatureKind::apple) add(4, 1);
  if (item.signature == RepairSignatureKind::adhoc || item.signature == RepairSignatureKind::unsignedCode) add(2, 1);
  if (item.signature == RepairSignatureKind::unknown) add(1, 0);
  if (item.owner && *item.owner != "root" && *item.owner != "wheel") add(1, 1);
  if (!item.scriptSignals.empty()) add(static_cast<int>(std::min<std::size_t>(item.scriptSignals.size(), 3)), 1);
  return evidence;
}

void checkEvidence(const InspectedStartupItem& item) {
  const EvidenceScore evidence = evidenceScore(item);
  if (evidence.score < 8 || evidence.count < 3) {
    throw Error(Error::Case::insufficientEvidence, item.relatedSearchGap.value_or(""));
  }
}

}  // namespace tidewarden::quarantine
