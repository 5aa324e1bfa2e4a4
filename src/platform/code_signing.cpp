// Verification of signed code: pinned self, guest and static code objects, requirements, signing information.
#include "platform/code_signing.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/code_signing_cache.h"
#include "platform/code_signing_format.h"
#include "platform/code_signing_process.h"
#include "platform/code_signing_requirement.h"
#include "platform/code_signing_seal.h"

namespace tidewarden::platform {

namespace codesign {

// A file or bundle directory held open from the moment its code object was made, so
// every later check reads the same inode whatever happens to its path.
struct PinnedCode {
  UniqueFd fd;
  bool bundle = false;
  std::string logicalPath;
};

}  // namespace codesign

class CodeObject {
 public:
  std::shared_ptr<const codesign::PinnedCode> code;
  // Guests only: /proc/<pid> of the very process instance, and its start time.
  UniqueFd processDirectory;
  unsigned long long startTime = 0;
};

class StaticCodeObject {
 public:
  std::shared_ptr<const codesign::PinnedCode> code;
};

namespace {

using codesign::CodeDirectory;
using codesign::CodeFormat;
using codesign::Digest;
using codesign::FileIdentity;
using codesign::Outcome;
using codesign::PinnedCode;
using codesign::SignatureBlob;
using codesign::TeamCertificate;
using codesign::isLive;
using codesign::ProcessStat;
using codesign::readProcessStat;

constexpr std::uint32_t kKnownFlags =
    kSecCSCheckAllArchitectures | kSecCSSigningInformation | kSecCSCheckNestedCode | kSecCSStrictValidate;

Outcome fail(OSStatus status, std::string detail = {}) { return Outcome{status, std::move(detail)}; }

bool flagsKnown(std::uint32_t flags) { return (flags & ~kKnownFlags) == 0; }

// The signature of a code object, decoded and checked cryptographically.
struct ParsedSignature {
  SignatureBlob blob;
  CodeDirectory directory;
  std::optional<TeamCertificate> certificate;
  std::uint64_t contentLength = 0;  // single files: where the signed range ends
  SignerFacts facts;
};

// Reads and decodes the signature; `signature` stays empty for unsigned code.
Outcome loadSignature(const PinnedCode& code, std::optional<ParsedSignature>& signature) {
  signature.reset();
  std::optional<std::string> bytes;
  std::uint64_t contentLength = 0;
  Outcome read = code.bundle ? codesign::readBundleSignature(code.fd.get(), bytes)
                             : codesign::readFileSignature(code.fd.get(), bytes, contentLength);
  if (!read.ok() || !bytes) return read;
  ParsedSignature parsed;
  parsed.contentLength = contentLength;
  std::optional<SignatureBlob> blob = SignatureBlob::decode(*bytes);
  std::optional<CodeDirectory> directory = blob ? CodeDirectory::decode(blob->directory) : std::nullopt;
  if (!directory) return fail(kErrSecCSSignatureFailed, "the signature is malformed");
  if ((directory->format == CodeFormat::bundle) != code.bundle) {
    return fail(kErrSecCSSignatureFailed, "the signature belongs to another kind of code");
  }
  if (!blob->certificate.empty()) {
    parsed.certificate = TeamCertificate::decode(blob->certificate);
    if (!parsed.certificate) return fail(kErrSecCSSignatureFailed, "the team certificate is malformed");
  }
  parsed.blob = std::move(*blob);
  parsed.directory = std::move(*directory);
  parsed.facts.identifier = parsed.directory.identifier;
  signature = std::move(parsed);
  return {};
}

// The signature must be made by the certificate's key over this very directory, and the
// directory must name that certificate and its team; an ad hoc directory names none.
Outcome checkSignatureIntegrity(const ParsedSignature& signature) {
  const CodeDirectory& directory = signature.directory;
  if (!signature.certificate) {
    if (!directory.teamIdentifier.empty() || directory.certificateDigest != Digest{}) {
      return fail(kErrSecCSSignatureFailed, "an ad hoc signature claims a team");
    }
    return {};
  }
  if (directory.teamIdentifier != signature.certificate->teamIdentifier ||
      directory.certificateDigest != codesign::sha256(signature.blob.certificate) ||
      !codesign::verifyEd25519(signature.certificate->subjectPublicKey, signature.blob.directory,
                               signature.blob.signature)) {
    return fail(kErrSecCSSignatureFailed, "the signature does not verify with its team certificate");
  }
  return {};
}

// Fills in the anchor, team and class when an injected anchor vouches for the certificate.
void establishTrust(const std::vector<TrustAnchor>& anchors, ParsedSignature& signature) {
  if (!signature.certificate) return;
  const TeamCertificate& certificate = *signature.certificate;
  for (const TrustAnchor& anchor : anchors) {
    if (anchor.name == certificate.anchorName &&
        codesign::verifyEd25519(anchor.publicKey, certificate.signedPart(), certificate.anchorSignature)) {
      signature.facts.trustedAnchor = anchor.name;
      signature.facts.teamIdentifier = certificate.teamIdentifier;
      signature.facts.appleSoftware = certificate.certifiesAppleSoftware();
      return;
    }
  }
}

// What content checks share across calls. `digests` is set for guests only: see
// checkFileContent for why a remembered digest is sound for them.
struct Hashing {
  codesign::DigestCache* digests = nullptr;
  std::atomic<std::uint64_t>& hashedBytes;
  const std::function<std::timespec()>& wallClock;

  std::timespec now() const {
    if (wallClock) return wallClock();
    std::timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    return time;
  }
};

// Why a remembered digest stands for the bytes of a guest's executable:
// - it is stored only when the identity (device, inode, size, modification and change
//   times) taken before hashing equals the one taken after, so no write was noticed
//   while the bytes were read, and only when the change time lies kSettledSeconds before
//   hashing started, so every write from that moment on stamps a different change time
//   (see codesign::settledBefore). Only the kernel sets change times; nobody can put an
//   old one back.
// - it is used only for guests. A file that a process executes cannot be opened for
//   writing (ETXTBSY), and a process cannot start from a file that is mapped writable,
//   so writes through a long-lived shared mapping, which stamp the times only on the
//   first write after writeback, cannot reach a running executable. Any later write
//   comes through a fresh open or fault and stamps a new change time.
Outcome checkFileContent(const PinnedCode& code, const ParsedSignature& signature, const Hashing& hashing) {
  const CodeDirectory& directory = signature.directory;
  // Before any byte is read: a signed range of another length cannot match.
  if (signature.contentLength != directory.signedLength) {
    return fail(kErrSecCSSignatureFailed, "the signed range has a different length");
  }
  struct stat before;
  if (::fstat(code.fd.get(), &before) != 0) return fail(kErrSecCSInternalError);
  const FileIdentity identity = FileIdentity::of(before);
  if (hashing.digests) {
    std::optional<Digest> known = hashing.digests->find(identity, signature.contentLength);
    if (known && *known == directory.codeDigest) return {};
  }
  const std::timespec started = hashing.now();
  hashing.hashedBytes += signature.contentLength;
  Digest digest{};
  Outcome hashed = codesign::digestFile(code.fd.get(), signature.contentLength, digest);
  if (!hashed.ok()) return hashed;
  if (digest != directory.codeDigest) return fail(kErrSecCSSignatureFailed, "the executable's bytes were modified");
  struct stat after;
  if (hashing.digests && ::fstat(code.fd.get(), &after) == 0 && FileIdentity::of(after) == identity &&
      codesign::settledBefore(identity, started)) {
    hashing.digests->store(identity, signature.contentLength, digest);
  }
  return {};
}

Outcome checkContent(const PinnedCode& code, const ParsedSignature& signature, const Hashing& hashing) {
  if (!code.bundle) return checkFileContent(code, signature, hashing);
  std::vector<codesign::SealedEntry> current;
  Outcome sealed = codesign::sealBundle(code.fd.get(), signature.directory.omitPatterns,
                                        signature.directory.mainExecutable, current);
  if (!sealed.ok()) return sealed;
  return codesign::compareSeal(signature.directory.entries, current);
}

// Everything but the requirement and, for guests, the liveness of the process.
Outcome verifyCode(const PinnedCode& code, std::uint32_t flags, const std::vector<TrustAnchor>& anchors,
                   const Hashing& hashing, std::optional<ParsedSignature>& signature) {
  Outcome loaded = loadSignature(code, signature);
  if (!loaded.ok()) return loaded;
  if (!signature) return fail(kErrSecCSUnsigned);
  Outcome integrity = checkSignatureIntegrity(*signature);
  if (!integrity.ok()) return integrity;
  establishTrust(anchors, *signature);
  Outcome content = checkContent(code, *signature, hashing);
  if (!content.ok()) return content;
  // Checked last so that this status means: everything sealed is intact, but the seal
  // leaves files out.
  if ((flags & kSecCSStrictValidate) != 0 && !signature->directory.omitPatterns.empty()) {
    return fail(kErrSecCSWeakResourceRules, "the signature leaves files matching omit rules unsealed");
  }
  return {};
}

Outcome checkRequirement(const ParsedSignature& signature, const CodeRequirement* requirement) {
  if (requirement && !requirement->isSatisfiedBy(signature.facts)) {
    return fail(kErrSecCSReqFailed, "the code does not satisfy \"" + requirement->text() + "\"");
  }
  return {};
}

std::string describe(const Outcome& outcome) {
  std::string message = CodeSigning::errorMessage(outcome.status);
  if (message.empty()) message = "code-signing status " + std::to_string(outcome.status);
  return outcome.detail.empty() ? message : message + ": " + outcome.detail;
}

std::string linkText(int dirFd, const char* name) {
  char buffer[PATH_MAX];
  ssize_t length = ::readlinkat(dirFd, name, buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}


OSStatus openFailure(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM ? kErrSecCSInternalError : kErrSecCSStaticCodeNotFound;
}

}  // namespace

CodeSigning::CodeSigning(CodeSigningOptions options)
    : options_(std::move(options)), digests_(std::make_unique<codesign::DigestCache>()) {}

CodeSigning::~CodeSigning() = default;

OSStatus CodeSigning::copySelf(std::uint32_t flags, std::shared_ptr<const CodeObject>& code) const {
  code.reset();
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  // Follows links on purpose: /proc/self/exe is the kernel's link to our own image.
  UniqueFd fd(::open(options_.selfExecutable.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kErrSecCSNoSuchCode;
  auto pinned = std::make_shared<PinnedCode>();
  pinned->logicalPath = linkText(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd.get())).c_str());
  if (pinned->logicalPath.empty()) pinned->logicalPath = options_.selfExecutable;
  pinned->fd = std::move(fd);
  auto object = std::make_shared<CodeObject>();
  object->code = std::move(pinned);
  code = std::move(object);
  return kErrSecSuccess;
}

// Why the guest check is race-free:
// - Pid reuse: everything after the first open goes through the /proc/<pid> directory
//   descriptor. That descriptor is bound to the process instance (the kernel's struct
//   pid), not to the number: once that process is gone, lookups through it fail even if
//   the number is given to a new process. So "stat" and "exe" are read from the same
//   process, and checkValidity re-reads "stat" through it afterwards: a vanished process,
//   a zombie, or a different start time (defence in depth) is kErrSecCSGuestInvalid.
//   The one window left is between the caller learning the number and our first open;
//   the caller narrows it by resolving the pid of a connected peer immediately.
// - File replacement: "exe" is opened through the kernel's link to the mapped image, so
//   the descriptor is the inode the process runs, not whatever the path names later: a
//   rename or unlink of the path does not reach it, and a write into that inode itself
//   changes the very bytes we hash, so it is caught, not hidden. After hashing,
//   checkValidity confirms that the process still runs that same inode (an exec of
//   another file in between is kErrSecCSGuestInvalid).
// - Injected code: checkValidity reads the tracer and the memory map through the same
//   directory descriptor, before hashing and again after, and examines each mapped file
//   through the kernel's own links to it (see codesign::checkGuestProcess).
OSStatus CodeSigning::copyGuestWithProcessIdentifier(pid_t pid, std::uint32_t flags,
                                                     std::shared_ptr<const CodeObject>& code) const {
  code.reset();
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  if (pid <= 0) return kErrSecCSNoSuchCode;
  UniqueFd directory(::open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory) return kErrSecCSNoSuchCode;
  std::optional<ProcessStat> before = readProcessStat(directory.get());
  if (!before || !isLive(*before)) return kErrSecCSNoSuchCode;
  // "exe" is a kernel link that must be followed to reach the image.
  UniqueFd exe(::openat(directory.get(), "exe", O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!exe || ::fstat(exe.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kErrSecCSNoSuchCode;
  std::string path = linkText(directory.get(), "exe");
  std::optional<ProcessStat> after = readProcessStat(directory.get());
  if (!after || !isLive(*after) || after->startTime != before->startTime || path.empty()) return kErrSecCSNoSuchCode;

  auto pinned = std::make_shared<PinnedCode>();
  pinned->fd = std::move(exe);
  pinned->logicalPath = std::move(path);
  auto object = std::make_shared<CodeObject>();
  object->code = std::move(pinned);
  object->processDirectory = std::move(directory);
  object->startTime = before->startTime;
  code = std::move(object);
  return kErrSecSuccess;
}

OSStatus CodeSigning::checkValidity(const CodeObject& code, std::uint32_t flags,
                                    const CodeRequirement* requirement) const {
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  if (!code.code) return kErrSecCSInvalidObjectRef;
  const bool guest = static_cast<bool>(code.processDirectory);
  struct stat pinned;
  if (guest) {
    // The cheap refusals come before a single byte is hashed.
    if (::fstat(code.code->fd.get(), &pinned) != 0) return kErrSecCSInternalError;
    if (static_cast<std::uint64_t>(pinned.st_size) > kMaxGuestExecutableBytes) return kErrSecCSTooBig;
    if (!codesign::checkGuestProcess(code.processDirectory.get(), pinned).ok()) return kErrSecCSGuestInvalid;
  }
  std::optional<ParsedSignature> signature;
  const Hashing hashing{guest ? digests_.get() : nullptr, hashedBytes_, options_.wallClock};
  Outcome outcome = verifyCode(*code.code, flags, options_.anchors, hashing, signature);
  if (!outcome.ok()) return outcome.status;
  if (guest) {
    std::optional<ProcessStat> now = readProcessStat(code.processDirectory.get());
    struct stat running;
    if (!now || !isLive(*now) || now->startTime != code.startTime ||
        ::fstatat(code.processDirectory.get(), "exe", &running, 0) != 0 || running.st_dev != pinned.st_dev ||
        running.st_ino != pinned.st_ino) {
      return kErrSecCSGuestInvalid;
    }
    // Again: a tracer attached or a library loaded while the executable was hashed.
    if (!codesign::checkGuestProcess(code.processDirectory.get(), pinned).ok()) return kErrSecCSGuestInvalid;
  }
  return checkRequirement(*signature, requirement).status;
}

OSStatus CodeSigning::copyStaticCode(const CodeObject& code, std::uint32_t flags,
                                     std::shared_ptr<const StaticCodeObject>& staticCode) const {
  staticCode.reset();
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  if (!code.code) return kErrSecCSInvalidObjectRef;
  auto object = std::make_shared<StaticCodeObject>();
  object->code = code.code;
  staticCode = std::move(object);
  return kErrSecSuccess;
}

OSStatus CodeSigning::createStaticCodeWithPath(std::string_view logicalPath, std::uint32_t flags,
                                               std::shared_ptr<const StaticCodeObject>& staticCode) const {
  staticCode.reset();
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  if (logicalPath.empty() || logicalPath.front() != '/' || logicalPath.find('\0') != std::string_view::npos) {
    return kErrSecCSStaticCodeNotFound;
  }
  std::string_view trimmed = logicalPath;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  std::vector<std::string> components;
  for (std::size_t start = 1; start < trimmed.size();) {
    std::size_t end = std::min(trimmed.find('/', start), trimmed.size());
    std::string part(trimmed.substr(start, end - start));
    if (part.empty() || part == "." || part == "..") return kErrSecCSStaticCodeNotFound;
    components.push_back(std::move(part));
    start = end + 1;
  }

  UniqueFd ownRoot;
  int rootFd;
  if (options_.root) {
    rootFd = options_.root->get();
  } else {
    ownRoot.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!ownRoot) return kErrSecCSInternalError;
    rootFd = ownRoot.get();
  }
  // Every component is opened relative to its parent with O_NOFOLLOW: a symbolic link
  // anywhere in the path is refused, never followed out of the root.
  UniqueFd current;
  int parent = rootFd;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    UniqueFd next(::openat(parent, components[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return openFailure(errno);
    current = std::move(next);
    parent = current.get();
  }
  UniqueFd leaf(components.empty()
                    ? ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : ::openat(parent, components.back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!leaf) return openFailure(errno);
  struct stat st;
  if (::fstat(leaf.get(), &st) != 0) return kErrSecCSInternalError;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return kErrSecCSStaticCodeNotFound;

  auto pinned = std::make_shared<PinnedCode>();
  pinned->fd = std::move(leaf);
  pinned->bundle = S_ISDIR(st.st_mode);
  pinned->logicalPath = std::string(trimmed);
  auto object = std::make_shared<StaticCodeObject>();
  object->code = std::move(pinned);
  staticCode = std::move(object);
  return kErrSecSuccess;
}

OSStatus CodeSigning::createRequirementWithString(std::string_view text, std::uint32_t flags,
                                                  std::shared_ptr<const CodeRequirement>& requirement) const {
  requirement.reset();
  if (flags != kSecCSDefaultFlags) return kErrSecCSInvalidFlags;
  requirement = CodeRequirement::parse(text);
  return requirement ? kErrSecSuccess : kErrSecCSReqInvalid;
}

OSStatus CodeSigning::checkStaticValidity(const StaticCodeObject& code, std::uint32_t flags,
                                          const CodeRequirement* requirement, std::string* errorDescription) const {
  Outcome outcome;
  if (!flagsKnown(flags)) {
    outcome = fail(kErrSecCSInvalidFlags);
  } else if (!code.code) {
    outcome = fail(kErrSecCSInvalidObjectRef);
  } else {
    std::optional<ParsedSignature> signature;
    outcome = verifyCode(*code.code, flags, options_.anchors, Hashing{nullptr, hashedBytes_, options_.wallClock},
                         signature);
    if (outcome.ok()) outcome = checkRequirement(*signature, requirement);
  }
  if (errorDescription) *errorDescription = outcome.ok() ? std::string() : describe(outcome);
  return outcome.status;
}

OSStatus CodeSigning::copySigningInformation(const StaticCodeObject& code, std::uint32_t flags,
                                             std::optional<SigningInformation>& information) const {
  information.reset();
  if (!flagsKnown(flags)) return kErrSecCSInvalidFlags;
  if (!code.code) return kErrSecCSInvalidObjectRef;
  const PinnedCode& pinned = *code.code;
  std::optional<ParsedSignature> signature;
  Outcome loaded = loadSignature(pinned, signature);
  if (!loaded.ok()) return loaded.status;

  SigningInformation info;
  std::optional<std::string> mainExecutable;
  if (signature) {
    if (!signature->directory.mainExecutable.empty()) mainExecutable = signature->directory.mainExecutable;
  } else if (pinned.bundle) {
    Outcome read = codesign::readBundleMainExecutable(pinned.fd.get(), mainExecutable);
    if (!read.ok()) return read.status;
  }
  if (!pinned.bundle) {
    info.mainExecutable = pinned.logicalPath;
  } else if (mainExecutable) {
    std::string base = pinned.logicalPath == "/" ? "" : pinned.logicalPath;
    info.mainExecutable = base + "/Contents/MacOS/" + *mainExecutable;
  }
  if (signature) {
    info.identifier = signature->directory.identifier;
    info.flags = signature->directory.flags;
    // The team is reported only when it is bound to this directory by a valid
    // signature and vouched for by an injected anchor.
    if ((flags & kSecCSSigningInformation) != 0 && checkSignatureIntegrity(*signature).ok()) {
      establishTrust(options_.anchors, *signature);
      info.teamIdentifier = signature->facts.teamIdentifier;
    }
  }
  information = std::move(info);
  return kErrSecSuccess;
}

std::string CodeSigning::errorMessage(OSStatus status) {
  switch (status) {
    case kErrSecSuccess:
      return "No error.";
    case kErrSecCSUnsigned:
      return "code object is not signed at all";
    case kErrSecCSSignatureFailed:
      return "invalid signature (code or signature have been modified)";
    case kErrSecCSReqFailed:
      return "code failed to satisfy specified code requirement(s)";
    case kErrSecCSReqInvalid:
      return "invalid or corrupted code requirement(s)";
    case kErrSecCSStaticCodeNotFound:
      return "cannot find code object on disk";
    case kErrSecCSNoSuchCode:
      return "no such code exists";
    case kErrSecCSGuestInvalid:
      return "the guest process ended or no longer runs the checked code";
    case kErrSecCSBadResource:
      return "a sealed resource is missing or invalid";
    case kErrSecCSResourcesNotFound:
      return "code has no resources but signature indicates they must be present";
    case kErrSecCSResourcesInvalid:
      return "the sealed resource directory is invalid";
    case kErrSecCSWeakResourceRules:
      return "signature uses weak resource rules that leave files unsealed";
    case kErrSecCSInfoPlistFailed:
      return "invalid Info.plist (plist or signature have been modified)";
    case kErrSecCSNoMainExecutable:
      return "code object lacks a main executable";
    case kErrSecCSBadBundleFormat:
      return "bundle format unrecognized, invalid, or unsuitable";
    case kErrSecCSInvalidObjectRef:
      return "invalid API object reference";
    case kErrSecCSInvalidFlags:
      return "invalid flags specified";
    case kErrSecCSStaticCodeChanged:
      return "the code changed while it was being checked";
    case kErrSecCSInternalError:
      return "internal error in Code Signing subsystem";
    default:
      return {};
  }
}

}  // namespace tidewarden::platform
