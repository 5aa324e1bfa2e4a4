// Ed25519 keys, team certificates, and writing signatures into files and bundles.
#include "platform/code_signer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/code_signing_seal.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {
namespace {

using codesign::CodeDirectory;
using codesign::CodeFormat;
using codesign::Digest;
using codesign::Outcome;
using codesign::SignatureBlob;
using codesign::TeamCertificate;

constexpr std::size_t kMaxOmitPatternBytes = 1024;

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string systemText(int error) {
  char buffer[256];
  return std::string(strerror_r(error, buffer, sizeof buffer));
}

PkeyPtr privateKey(const std::string& seed) {
  PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                           reinterpret_cast<const unsigned char*>(seed.data()), seed.size()),
              &EVP_PKEY_free);
  if (!key) std::abort();  // a SigningKey always holds a valid 32-byte seed
  return key;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string randomSuffix() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw SigningError("The system random generator failed.");
  static const char* const kHex = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

struct SplitPath {
  std::string directory;
  std::string leaf;
};

SplitPath splitPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return {".", trimmed};
  return {slash == 0 ? "/" : trimmed.substr(0, slash), trimmed.substr(slash + 1)};
}

UniqueFd openCode(const std::string& path, struct stat& st) {
  SplitPath parts = splitPath(path);
  if (parts.leaf.empty() || parts.leaf == "." || parts.leaf == "..") {
    throw SigningError("Cannot open " + path + ": it does not name a file or bundle.");
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) throw SigningError("Cannot open " + path + ": " + systemText(errno));
  if (::fstat(fd.get(), &st) != 0) throw SigningError("Cannot inspect " + path + ": " + systemText(errno));
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    throw SigningError("Cannot sign " + path + ": it is neither a regular file nor a bundle directory.");
  }
  return fd;
}

CodeDirectory baseDirectory(CodeFormat format, const SignOptions& options) {
  CodeDirectory cd;
  cd.format = format;
  cd.identifier = options.identifier;
  if (options.team) {
    cd.teamIdentifier = options.team->certificate.teamIdentifier;
    cd.certificateDigest = codesign::sha256(options.team->certificate.encode());
  } else {
    cd.flags |= kSecCodeSignatureAdhoc;
  }
  return cd;
}

std::string makeBlob(const CodeDirectory& cd, const SignOptions& options) {
  SignatureBlob blob;
  blob.directory = cd.encode();
  if (options.team) {
    blob.certificate = options.team->certificate.encode();
    blob.signature = options.team->key.sign(blob.directory);
  }
  return blob.encode();
}

void signFile(const std::string& path, int fd, const struct stat& st, const SignOptions& options) {
  if (!options.omitPatterns.empty()) {
    throw SigningError("Cannot sign " + path + ": omit patterns apply to bundles only.");
  }
  std::optional<std::string> oldBlob;
  std::uint64_t contentLength = 0;
  Outcome existing = codesign::readFileSignature(fd, oldBlob, contentLength);
  if (!existing.ok()) {
    throw SigningError("Cannot sign " + path + ": its existing signature is damaged (" + existing.detail + ").");
  }
  SplitPath parts = splitPath(path);
  UniqueFd directory(::open(parts.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) throw SigningError("Cannot open the folder of " + path + ": " + systemText(errno));
  std::string temporary = "." + parts.leaf + ".signing-" + randomSuffix();
  UniqueFd out(::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600));
  if (!out) throw SigningError("Cannot create a temporary file beside " + path + ": " + systemText(errno));
  auto discard = [&](const std::string& message) {
    ::unlinkat(directory.get(), temporary.c_str(), 0);
    throw SigningError(message);
  };

  // Copy and hash the signed range in one streamed pass.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) discard("SHA-256 is unavailable.");
  std::vector<char> buffer(codesign::kHashChunkBytes);
  std::uint64_t offset = 0;
  while (offset < contentLength) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), contentLength - offset));
    ssize_t got = ::pread(fd, buffer.data(), chunk, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) discard("Cannot read " + path + " completely.");
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
    if (!writeAll(out.get(), {buffer.data(), static_cast<std::size_t>(got)})) {
      discard("Cannot write the signed copy of " + path + ": " + systemText(errno));
    }
    offset += static_cast<std::uint64_t>(got);
  }
  CodeDirectory cd = baseDirectory(CodeFormat::file, options);
  cd.signedLength = contentLength;
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), cd.codeDigest.data(), &size) != 1) discard("SHA-256 failed.");
  struct stat after;
  if (::fstat(fd, &after) != 0 || !sameFile(st, after)) discard(path + " changed while it was being signed.");

  std::string blob = makeBlob(cd, options);
  if (!writeAll(out.get(), blob) || !writeAll(out.get(), codesign::fileTrailer(blob.size()))) {
    discard("Cannot write the signature of " + path + ": " + systemText(errno));
  }
  // Keep owner (where permitted) and mode of the original.
  if (::fchown(out.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    discard("Cannot keep the owner of " + path + ": " + systemText(errno));
  }
  if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::fsync(out.get()) != 0) {
    discard("Cannot finish the signed copy of " + path + ": " + systemText(errno));
  }
  if (::renameat(directory.get(), temporary.c_str(), directory.get(), parts.leaf.c_str()) != 0) {
    discard("Cannot replace " + path + " with its signed copy: " + systemText(errno));
  }
}

void signBundle(const std::string& path, int fd, const SignOptions& options) {
  if (options.omitPatterns.size() > codesign::kMaxOmitPatterns) {
    throw SigningError("Cannot sign " + path + ": more than " + std::to_string(codesign::kMaxOmitPatterns) +
                       " omit patterns.");
  }
  for (const std::string& pattern : options.omitPatterns) {
    if (pattern.empty() || pattern.size() > kMaxOmitPatternBytes) {
      throw SigningError("Cannot sign " + path + ": an omit pattern is empty or too long.");
    }
  }
  std::optional<std::string> mainExecutable;
  Outcome info = codesign::readBundleMainExecutable(fd, mainExecutable);
  if (!info.ok()) throw SigningError("Cannot sign " + path + ": " + info.detail + ".");

  UniqueFd contents(::openat(fd, "Contents", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!contents) throw SigningError("Cannot open " + path + "/Contents: " + systemText(errno));
  if (::mkdirat(contents.get(), "_CodeSignature", 0755) != 0 && errno != EEXIST) {
    throw SigningError("Cannot create " + path + "/" + std::string(codesign::kBundleSignatureDirectory) + ": " +
                       systemText(errno));
  }
  UniqueFd signatureDirectory(
      ::openat(contents.get(), "_CodeSignature", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!signatureDirectory) {
    throw SigningError("Cannot open " + path + "/" + std::string(codesign::kBundleSignatureDirectory) + ": " +
                       systemText(errno));
  }

  CodeDirectory cd = baseDirectory(CodeFormat::bundle, options);
  cd.mainExecutable = mainExecutable.value_or("");
  cd.omitPatterns = options.omitPatterns;
  Outcome seal = codesign::sealBundle(fd, cd.omitPatterns, cd.mainExecutable, cd.entries);
  if (!seal.ok()) throw SigningError("Cannot seal " + path + ": " + seal.detail + ".");
  std::string blob = makeBlob(cd, options);
  if (blob.size() > codesign::kMaxBundleBlobBytes) {
    throw SigningError("Cannot sign " + path + ": the bundle has too many entries.");
  }

  std::string temporary = ".CodeSignature.signing-" + randomSuffix();
  UniqueFd out(::openat(signatureDirectory.get(), temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!out) throw SigningError("Cannot create the signature file of " + path + ": " + systemText(errno));
  std::string name(codesign::kBundleSignatureName);
  if (!writeAll(out.get(), blob) || ::fsync(out.get()) != 0 ||
      ::renameat(signatureDirectory.get(), temporary.c_str(), signatureDirectory.get(), name.c_str()) != 0) {
    int error = errno;
    ::unlinkat(signatureDirectory.get(), temporary.c_str(), 0);
    throw SigningError("Cannot write the signature file of " + path + ": " + systemText(error));
  }
}

}  // namespace

SigningKey SigningKey::generate() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), &EVP_PKEY_free);
  if (!key) throw SigningError("Cannot generate an Ed25519 key.");
  std::string seed(codesign::kEd25519KeyBytes, '\0');
  std::size_t size = seed.size();
  if (EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char*>(seed.data()), &size) != 1 ||
      size != seed.size()) {
    throw SigningError("Cannot generate an Ed25519 key.");
  }
  return SigningKey(std::move(seed));
}

std::optional<SigningKey> SigningKey::fromPrivateKeyPem(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) return std::nullopt;
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return std::nullopt;
  std::string seed(codesign::kEd25519KeyBytes, '\0');
  std::size_t size = seed.size();
  if (EVP_PKEY_get_raw_private_key(key.get(), reinterpret_cast<unsigned char*>(seed.data()), &size) != 1 ||
      size != seed.size()) {
    return std::nullopt;
  }
  return SigningKey(std::move(seed));
}

std::string SigningKey::privateKeyPem() const {
  PkeyPtr key = privateKey(seed_);
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw SigningError("Cannot encode the private key.");
  }
  return bioText(bio.get());
}

std::string SigningKey::publicKey() const {
  PkeyPtr key = privateKey(seed_);
  std::string raw(codesign::kEd25519KeyBytes, '\0');
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
      size != raw.size()) {
    std::abort();
  }
  return raw;
}

std::string SigningKey::publicKeyPem() const {
  PkeyPtr key = privateKey(seed_);
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) throw SigningError("Cannot encode the public key.");
  return bioText(bio.get());
}

std::string SigningKey::sign(std::string_view message) const {
  PkeyPtr key = privateKey(seed_);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::string signature(codesign::kEd25519SignatureBytes, '\0');
  std::size_t size = signature.size();
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      size != signature.size()) {
    throw SigningError("Cannot make an Ed25519 signature.");
  }
  return signature;
}

std::optional<std::string> publicKeyFromPem(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) return std::nullopt;
  PkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return std::nullopt;
  std::string raw(codesign::kEd25519KeyBytes, '\0');
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
      size != raw.size()) {
    return std::nullopt;
  }
  return raw;
}

TeamCertificate issueTeamCertificate(const SigningKey& anchorKey, const std::string& anchorName,
                                     const std::string& teamIdentifier, const std::string& subjectPublicKey,
                                     codesign::CertificateClass certifies) {
  if (!codesign::isValidName(anchorName)) {
    throw SigningError("The anchor name \"" + anchorName + "\" must be 1 to 64 letters, digits, '.', '_' or '-'.");
  }
  if (!codesign::isValidName(teamIdentifier)) {
    throw SigningError("The team identifier \"" + teamIdentifier +
                       "\" must be 1 to 64 letters, digits, '.', '_' or '-'.");
  }
  if (subjectPublicKey.size() != codesign::kEd25519KeyBytes) {
    throw SigningError("The team public key must be a raw Ed25519 key of 32 bytes.");
  }
  TeamCertificate certificate{anchorName, teamIdentifier, certifies, subjectPublicKey, {}};
  certificate.anchorSignature = anchorKey.sign(certificate.signedPart());
  return certificate;
}

void signCode(const std::string& path, const SignOptions& options) {
  if (!codesign::isValidIdentifier(options.identifier)) {
    throw SigningError("The identifier \"" + options.identifier + "\" must be 1 to 255 printable ASCII characters.");
  }
  if (options.team && options.team->key.publicKey() != options.team->certificate.subjectPublicKey) {
    throw SigningError("The team key does not belong to the certificate of team " +
                       options.team->certificate.teamIdentifier + ".");
  }
  struct stat st;
  UniqueFd fd = openCode(path, st);
  if (S_ISDIR(st.st_mode)) {
    signBundle(path, fd.get(), options);
  } else {
    signFile(path, fd.get(), st, options);
  }
}

std::optional<SignatureSummary> describeCode(const std::string& path) {
  struct stat st;
  UniqueFd fd = openCode(path, st);
  std::optional<std::string> blob;
  Outcome read;
  if (S_ISDIR(st.st_mode)) {
    read = codesign::readBundleSignature(fd.get(), blob);
  } else {
    std::uint64_t contentLength = 0;
    read = codesign::readFileSignature(fd.get(), blob, contentLength);
  }
  if (!read.ok()) throw SigningError("Cannot read the signature of " + path + ": " + read.detail + ".");
  if (!blob) return std::nullopt;
  std::optional<SignatureBlob> decoded = SignatureBlob::decode(*blob);
  std::optional<CodeDirectory> cd = decoded ? CodeDirectory::decode(decoded->directory) : std::nullopt;
  std::optional<TeamCertificate> certificate;
  if (decoded && !decoded->certificate.empty()) certificate = TeamCertificate::decode(decoded->certificate);
  if (!cd || (decoded && !decoded->certificate.empty() && !certificate)) {
    throw SigningError("The signature of " + path + " is malformed.");
  }
  SignatureSummary summary;
  summary.format = cd->format == CodeFormat::file ? "file" : "bundle";
  summary.identifier = cd->identifier;
  summary.flags = cd->flags;
  summary.adhoc = !certificate.has_value();
  if (certificate) {
    summary.claimedTeam = certificate->teamIdentifier;
    summary.claimedAnchor = certificate->anchorName;
    summary.claimsAppleSoftware = certificate->certifiesAppleSoftware();
  }
  if (!cd->mainExecutable.empty()) summary.mainExecutable = cd->mainExecutable;
  summary.omitPatterns = cd->omitPatterns;
  summary.sealedEntries = cd->entries.size();
  return summary;
}

}  // namespace tidewarden::platform
