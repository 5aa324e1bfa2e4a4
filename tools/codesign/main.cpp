// tidewarden-codesign: makes anchors and team certificates, signs, verifies and displays code signatures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "platform/code_signing_format.h"
#include "platform/unique_fd.h"

namespace {

using namespace tidewarden::platform;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // the operation failed or the code is not valid
constexpr int kExitUsage = 2;
// Keys, certificates and public keys are small; anything larger is not one.
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

constexpr const char* kUsage =
    "usage:\n"
    "  tidewarden-codesign anchor --name NAME --out DIR\n"
    "  tidewarden-codesign team --anchor DIR/NAME.key --anchor-name NAME --team TEAMID [--class apple|developer]\n"
    "                          --out DIR\n"
    "  tidewarden-codesign sign --identifier ID (--adhoc | --key KEY --cert CERT) [--omit PATTERN]... PATH\n"
    "  tidewarden-codesign verify [--anchor NAME=PUBFILE]... [--requirement TEXT] [--strict] PATH\n"
    "  tidewarden-codesign display [--anchor NAME=PUBFILE]... PATH\n"
    "  tidewarden-codesign embed-anchor --name NAME --pub PUBFILE --out FILE.cpp\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options of one command: repeated "--key value" pairs, flags, and positional words.
struct Arguments {
  std::multimap<std::string, std::string> values;
  std::vector<std::string> flags;
  std::vector<std::string> positional;

  static Arguments parse(int argc, char** argv, const std::vector<std::string>& valueOptions,
                         const std::vector<std::string>& flagOptions) {
    Arguments arguments;
    for (int i = 2; i < argc; ++i) {
      std::string word = argv[i];
      auto isIn = [&](const std::vector<std::string>& list) {
        return std::find(list.begin(), list.end(), word) != list.end();
      };
      if (isIn(valueOptions)) {
        if (i + 1 >= argc) throw UsageError(word + " needs a value.");
        arguments.values.emplace(word, argv[++i]);
      } else if (isIn(flagOptions)) {
        arguments.flags.push_back(word);
      } else if (word.size() > 1 && word[0] == '-') {
        throw UsageError("unknown option " + word + ".");
      } else {
        arguments.positional.push_back(word);
      }
    }
    return arguments;
  }

  std::string one(const std::string& key) const {
    auto range = values.equal_range(key);
    if (range.first == range.second) throw UsageError(key + " is required.");
    if (std::next(range.first) != range.second) throw UsageError(key + " may be given once.");
    return range.first->second;
  }
  std::vector<std::string> all(const std::string& key) const {
    std::vector<std::string> list;
    for (auto [it, end] = values.equal_range(key); it != end; ++it) list.push_back(it->second);
    return list;
  }
  bool has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
  std::string path() const {
    if (positional.size() != 1) throw UsageError("exactly one PATH is required.");
    return positional.front();
  }
};

std::string systemText(int error) { return std::strerror(error); }

std::string readFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw SigningError("Cannot open " + path + ": " + systemText(errno));
  std::string bytes;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw SigningError("Cannot read " + path + ": " + systemText(errno));
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() > kMaxKeyFileBytes) throw SigningError(path + " is too large for a key or certificate.");
  }
  return bytes;
}

// Replaces `path` atomically with `bytes` at `mode` (temporary file, fsync, rename).
void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string temporary = path + ".tmp-" + std::to_string(::getpid());
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) throw SigningError("Cannot create " + temporary + ": " + systemText(errno));
  std::string_view rest = bytes;
  while (!rest.empty()) {
    ssize_t written = ::write(fd.get(), rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int error = errno;
      ::unlink(temporary.c_str());
      throw SigningError("Cannot write " + path + ": " + systemText(error));
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temporary.c_str());
    throw SigningError("Cannot write " + path + ": " + systemText(error));
  }
}

void makeDirectories(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      throw SigningError("Cannot create " + partial + ": " + systemText(errno));
    }
    partial += "/";
  }
}

std::string requireName(const std::string& value, const char* what) {
  if (!codesign::isValidName(value)) {
    throw UsageError(std::string(what) + " \"" + value + "\" must be 1 to 64 letters, digits, '.', '_' or '-'.");
  }
  return value;
}

// An absolute spelling whose folders are resolved, so that the no-follow walk of the
// verifier starts from real directories; the last component is left as written.
std::string absoluteLogicalPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.rfind('/');
  std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : trimmed.substr(0, slash));
  std::string leaf = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  char resolved[PATH_MAX];
  if (!::realpath(directory.c_str(), resolved)) {
    throw SigningError("Cannot resolve the folder of " + path + ": " + systemText(errno));
  }
  std::string base = resolved;
  return base == "/" ? "/" + leaf : base + "/" + leaf;
}

std::vector<TrustAnchor> anchorsFrom(const Arguments& arguments) {
  std::vector<TrustAnchor> anchors;
  for (const std::string& option : arguments.all("--anchor")) {
    std::size_t equals = option.find('=');
    if (equals == std::string::npos) throw UsageError("--anchor takes NAME=PUBFILE.");
    std::string name = requireName(option.substr(0, equals), "The anchor name");
    std::optional<std::string> key = publicKeyFromPem(readFile(option.substr(equals + 1)));
    if (!key) throw SigningError(option.substr(equals + 1) + " is not an Ed25519 public key.");
    anchors.push_back({name, *key});
  }
  return anchors;
}

int commandAnchor(const Arguments& arguments) {
  std::string name = requireName(arguments.one("--name"), "The anchor name");
  std::string out = arguments.one("--out");
  makeDirectories(out);
  SigningKey key = SigningKey::generate();
  writeFile(out + "/" + name + ".key", key.privateKeyPem(), 0600);
  writeFile(out + "/" + name + ".pub", key.publicKeyPem(), 0644);
  return kExitSuccess;
}

int commandTeam(const Arguments& arguments) {
  std::string anchorPath = arguments.one("--anchor");
  std::string anchorName = requireName(arguments.one("--anchor-name"), "The anchor name");
  std::string team = requireName(arguments.one("--team"), "The team identifier");
  std::string out = arguments.one("--out");
  // A registered developer unless Apple's own software is asked for by name.
  const std::string stated = arguments.values.count("--class") > 0 ? arguments.one("--class") : "developer";
  if (stated != "apple" && stated != "developer") throw UsageError("--class takes apple or developer.");
  const auto certifies =
      stated == "apple" ? codesign::CertificateClass::appleSoftware : codesign::CertificateClass::developer;
  std::optional<SigningKey> anchorKey = SigningKey::fromPrivateKeyPem(readFile(anchorPath));
  if (!anchorKey) throw SigningError(anchorPath + " is not an Ed25519 private key.");
  makeDirectories(out);
  SigningKey teamKey = SigningKey::generate();
  codesign::TeamCertificate certificate =
      issueTeamCertificate(*anchorKey, anchorName, team, teamKey.publicKey(), certifies);
  writeFile(out + "/" + team + ".key", teamKey.privateKeyPem(), 0600);
  writeFile(out + "/" + team + ".cert", certificate.encode(), 0644);
  return kExitSuccess;
}

int commandSign(const Arguments& arguments) {
  SignOptions options;
  options.identifier = arguments.one("--identifier");
  options.omitPatterns = arguments.all("--omit");
  bool adhoc = arguments.has("--adhoc");
  bool withKey = arguments.values.count("--key") + arguments.values.count("--cert") > 0;
  if (adhoc == withKey) throw UsageError("give either --adhoc or both --key and --cert.");
  if (!adhoc) {
    std::string keyPath = arguments.one("--key");
    std::string certificatePath = arguments.one("--cert");
    std::optional<SigningKey> key = SigningKey::fromPrivateKeyPem(readFile(keyPath));
    if (!key) throw SigningError(keyPath + " is not an Ed25519 private key.");
    std::optional<codesign::TeamCertificate> certificate =
        codesign::TeamCertificate::decode(readFile(certificatePath));
    if (!certificate) throw SigningError(certificatePath + " is not a team certificate.");
    options.team = TeamIdentity{*key, *certificate};
  }
  signCode(arguments.path(), options);
  return kExitSuccess;
}

int commandVerify(const Arguments& arguments) {
  CodeSigningOptions options;
  options.anchors = anchorsFrom(arguments);
  CodeSigning signing(std::move(options));
  std::string path = arguments.path();
  std::shared_ptr<const CodeRequirement> requirement;
  if (arguments.values.count("--requirement") > 0) {
    OSStatus status = signing.createRequirementWithString(arguments.one("--requirement"), kSecCSDefaultFlags,
                                                          requirement);
    if (status != kErrSecSuccess) {
      std::cerr << path << ": requirement not accepted (status " << status << ": "
                << CodeSigning::errorMessage(status) << ")\n";
      return kExitFailure;
    }
  }
  std::shared_ptr<const StaticCodeObject> code;
  OSStatus status = signing.createStaticCodeWithPath(absoluteLogicalPath(path), kSecCSDefaultFlags, code);
  std::string description;
  if (status == kErrSecSuccess) {
    std::uint32_t flags = kSecCSCheckAllArchitectures | kSecCSCheckNestedCode;
    if (arguments.has("--strict")) flags |= kSecCSStrictValidate;
    status = signing.checkStaticValidity(*code, flags, requirement.get(), &description);
  } else {
    description = CodeSigning::errorMessage(status);
  }
  if (status == kErrSecSuccess) {
    std::cerr << path << ": valid\n";
    return kExitSuccess;
  }
  std::cerr << path << ": invalid (status " << status << ": " << description << ")\n";
  return kExitFailure;
}

int commandDisplay(const Arguments& arguments) {
  std::string path = arguments.path();
  std::vector<TrustAnchor> anchors = anchorsFrom(arguments);
  std::optional<SignatureSummary> summary = describeCode(path);
  if (!summary) {
    std::cout << "path: " << path << "\nsigned: no\n";
    return kExitSuccess;
  }
  std::optional<std::string> trustedTeam;
  if (!anchors.empty()) {
    CodeSigning signing(CodeSigningOptions{anchors, nullptr});
    std::shared_ptr<const StaticCodeObject> code;
    std::optional<SigningInformation> information;
    if (signing.createStaticCodeWithPath(absoluteLogicalPath(path), kSecCSDefaultFlags, code) == kErrSecSuccess &&
        signing.copySigningInformation(*code, kSecCSSigningInformation, information) == kErrSecSuccess &&
        information) {
      trustedTeam = information->teamIdentifier;
    }
  }
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%x", summary->flags);
  std::cout << "path: " << path << "\nsigned: yes\nformat: " << summary->format
            << "\nidentifier: " << summary->identifier << "\nflags: " << flags << (summary->adhoc ? " (adhoc)" : "")
            << "\n";
  if (summary->adhoc) {
    std::cout << "team: none\nanchor: none\n";
  } else {
    const char* trust = anchors.empty() ? " (not verified)" : (trustedTeam ? " (trusted)" : " (untrusted)");
    std::cout << "team: " << *summary->claimedTeam << trust << "\nanchor: " << *summary->claimedAnchor << trust
              << "\nclass: " << (summary->claimsAppleSoftware ? "apple" : "developer") << "\n";
  }
  if (summary->mainExecutable) std::cout << "main executable: " << *summary->mainExecutable << "\n";
  if (summary->format == "bundle") std::cout << "sealed entries: " << summary->sealedEntries << "\n";
  for (const std::string& pattern : summary->omitPatterns) std::cout << "omit: " << pattern << "\n";
  return kExitSuccess;
}

int commandEmbedAnchor(const Arguments& arguments) {
  std::string name = requireName(arguments.one("--name"), "The anchor name");
  std::string pubPath = arguments.one("--pub");
  std::string out = arguments.one("--out");
  std::optional<std::string> key = publicKeyFromPem(readFile(pubPath));
  if (!key) throw SigningError(pubPath + " is not an Ed25519 public key.");
  std::ostringstream source;
  source << "// Generated by tidewarden-codesign embed-anchor: the trust anchor \"" << name << "\" of this build.\n"
         << "#include \"platform/development_anchor.h\"\n\n"
         << "namespace tidewarden::platform {\n\n"
         << "std::vector<TrustAnchor> developmentTrustAnchors() {\n"
         << "  static const unsigned char kPublicKey[] = {";
  for (std::size_t i = 0; i < key->size(); ++i) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>((*key)[i]));
    source << (i == 0 ? "" : ", ") << (i % 8 == 0 ? "\n      " : "") << byte;
  }
  source << "};\n"
         << "  return {TrustAnchor{\"" << name
         << "\", std::string(reinterpret_cast<const char*>(kPublicKey), sizeof kPublicKey)}};\n"
         << "}\n\n"
         << "}  // namespace tidewarden::platform\n";
  // Unchanged output is left alone so that the build does not recompile it.
  std::string text = source.str();
  UniqueFd existing(::open(out.c_str(), O_RDONLY | O_CLOEXEC));
  if (existing && readFile(out) == text) return kExitSuccess;
  writeFile(out, text, 0644);
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  std::string command = argv[1];
  try {
    if (command == "anchor") return commandAnchor(Arguments::parse(argc, argv, {"--name", "--out"}, {}));
    if (command == "team") {
      return commandTeam(
          Arguments::parse(argc, argv, {"--anchor", "--anchor-name", "--team", "--class", "--out"}, {}));
    }
    if (command == "sign") {
      return commandSign(Arguments::parse(argc, argv, {"--identifier", "--key", "--cert", "--omit"}, {"--adhoc"}));
    }
    if (command == "verify") {
      return commandVerify(Arguments::parse(argc, argv, {"--anchor", "--requirement"}, {"--strict"}));
    }
    if (command == "display") return commandDisplay(Arguments::parse(argc, argv, {"--anchor"}, {}));
    if (command == "embed-anchor") {
      return commandEmbedAnchor(Arguments::parse(argc, argv, {"--name", "--pub", "--out"}, {}));
    }
    std::cerr << "tidewarden-codesign: unknown command " << command << "\n" << kUsage;
    return kExitUsage;
  } catch (const UsageError& error) {
    std::cerr << "tidewarden-codesign " << command << ": " << error.what() << "\n" << kUsage;
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "tidewarden-codesign " << command << ": " << error.what() << "\n";
    return kExitFailure;
  }
}
