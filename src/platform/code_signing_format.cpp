// Encoding and exact decoding of certificates, code directories, blobs and trailers.
#include "platform/code_signing_format.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace tidewarden::platform::codesign {
namespace {

constexpr std::string_view kCertificateMagic = "TWCERT02";
constexpr std::string_view kClasslessCertificateMagic = "TWCERT01";
constexpr std::string_view kDirectoryMagic = "TWCSDIR1";
constexpr std::string_view kBlobMagic = "TWCSBLOB";
constexpr std::size_t kMaxNameBytes = 64;
constexpr std::size_t kMaxIdentifierBytes = 255;

class Writer {
 public:
  void raw(std::string_view bytes) { out_.append(bytes); }
  void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void u16(std::uint16_t value) { be(value, 2); }
  void u32(std::uint32_t value) { be(value, 4); }
  void u64(std::uint64_t value) { be(value, 8); }
  // Callers validate lengths first; an over-long string here is a bug.
  void str16(std::string_view text) {
    if (text.size() > 0xFFFF) std::abort();
    u16(static_cast<std::uint16_t>(text.size()));
    raw(text);
  }
  void digest(const Digest& value) { raw({reinterpret_cast<const char*>(value.data()), value.size()}); }
  std::string take() { return std::move(out_); }

 private:
  void be(std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  bool atEnd() const { return ok_ && bytes_.empty(); }
  std::string_view raw(std::size_t count) {
    if (!ok_ || bytes_.size() < count) {
      ok_ = false;
      return {};
    }
    std::string_view part = bytes_.substr(0, count);
    bytes_.remove_prefix(count);
    return part;
  }
  std::uint64_t be(int count) {
    std::string_view part = raw(static_cast<std::size_t>(count));
    std::uint64_t value = 0;
    for (char c : part) value = (value << 8) | static_cast<unsigned char>(c);
    return value;
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(be(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(be(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(be(4)); }
  std::uint64_t u64() { return be(8); }
  std::string str16() { return std::string(raw(u16())); }
  Digest digest() {
    Digest value{};
    std::string_view part = raw(value.size());
    if (ok_) std::copy(part.begin(), part.end(), value.begin());
    return value;
  }
  bool expect(std::string_view magic) { return raw(magic.size()) == magic && ok_; }

 private:
  std::string_view bytes_;
  bool ok_ = true;
};

bool validRelativePath(std::string_view path) {
  if (path.empty() || path.size() > 4096 || path.front() == '/' || path.back() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool isValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

bool isValidIdentifier(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > kMaxIdentifierBytes) return false;
  return std::all_of(identifier.begin(), identifier.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::string TeamCertificate::signedPart() const {
  Writer w;
  w.raw(withoutClass ? kClasslessCertificateMagic : kCertificateMagic);
  w.str16(anchorName);
  w.str16(teamIdentifier);
  if (!withoutClass) w.u8(static_cast<std::uint8_t>(certifies));
  w.raw(subjectPublicKey);
  return w.take();
}

std::string TeamCertificate::encode() const { return signedPart() + anchorSignature; }

std::optional<TeamCertificate> TeamCertificate::decode(std::string_view bytes) {
  Reader r(bytes);
  TeamCertificate certificate;
  certificate.withoutClass = bytes.starts_with(kClasslessCertificateMagic);
  if (!r.expect(certificate.withoutClass ? kClasslessCertificateMagic : kCertificateMagic)) return std::nullopt;
  certificate.anchorName = r.str16();
  certificate.teamIdentifier = r.str16();
  if (!certificate.withoutClass) {
    const std::uint8_t stated = r.u8();
    if (stated != static_cast<std::uint8_t>(CertificateClass::appleSoftware) &&
        stated != static_cast<std::uint8_t>(CertificateClass::developer)) {
      return std::nullopt;
    }
    certificate.certifies = static_cast<CertificateClass>(stated);
  }
  certificate.subjectPublicKey = std::string(r.raw(kEd25519KeyBytes));
  certificate.anchorSignature = std::string(r.raw(kEd25519SignatureBytes));
  if (!r.atEnd() || !isValidName(certificate.anchorName) || !isValidName(certificate.teamIdentifier)) {
    return std::nullopt;
  }
  return certificate;
}

std::string CodeDirectory::encode() const {
  Writer w;
  w.raw(kDirectoryMagic);
  w.u8(static_cast<std::uint8_t>(format));
  w.u32(flags);
  w.str16(identifier);
  w.str16(teamIdentifier);
  w.digest(certificateDigest);
  if (format == CodeFormat::file) {
    w.u64(signedLength);
    w.digest(codeDigest);
  } else {
    w.str16(mainExecutable);
    w.u16(static_cast<std::uint16_t>(omitPatterns.size()));
    for (const std::string& pattern : omitPatterns) w.str16(pattern);
    w.u32(static_cast<std::uint32_t>(entries.size()));
    for (const SealedEntry& entry : entries) {
      w.u8(static_cast<std::uint8_t>(entry.kind));
      w.str16(entry.path);
      if (entry.kind == EntryKind::file) w.digest(entry.digest);
      if (entry.kind == EntryKind::symlink) w.str16(entry.target);
    }
  }
  return w.take();
}

std::optional<CodeDirectory> CodeDirectory::decode(std::string_view bytes) {
  Reader r(bytes);
  CodeDirectory cd;
  if (!r.expect(kDirectoryMagic)) return std::nullopt;
  std::uint8_t format = r.u8();
  cd.flags = r.u32();
  cd.identifier = r.str16();
  cd.teamIdentifier = r.str16();
  cd.certificateDigest = r.digest();
  if (!r.ok() || !isValidIdentifier(cd.identifier)) return std::nullopt;
  if (!cd.teamIdentifier.empty() && !isValidName(cd.teamIdentifier)) return std::nullopt;
  if (format == static_cast<std::uint8_t>(CodeFormat::file)) {
    cd.format = CodeFormat::file;
    cd.signedLength = r.u64();
    cd.codeDigest = r.digest();
  } else if (format == static_cast<std::uint8_t>(CodeFormat::bundle)) {
    cd.format = CodeFormat::bundle;
    cd.mainExecutable = r.str16();
    if (!cd.mainExecutable.empty() && (cd.mainExecutable.find('/') != std::string::npos ||
                                       !validRelativePath(cd.mainExecutable))) {
      return std::nullopt;
    }
    std::uint16_t omitCount = r.u16();
    if (omitCount > kMaxOmitPatterns) return std::nullopt;
    for (std::uint16_t i = 0; i < omitCount && r.ok(); ++i) {
      cd.omitPatterns.push_back(r.str16());
      if (cd.omitPatterns.back().empty()) return std::nullopt;
    }
    std::uint32_t entryCount = r.u32();
    if (entryCount > kMaxSealedEntries) return std::nullopt;
    for (std::uint32_t i = 0; i < entryCount && r.ok(); ++i) {
      SealedEntry entry;
      std::uint8_t kind = r.u8();
      entry.path = r.str16();
      if (kind == static_cast<std::uint8_t>(EntryKind::file)) {
        entry.kind = EntryKind::file;
        entry.digest = r.digest();
      } else if (kind == static_cast<std::uint8_t>(EntryKind::symlink)) {
        entry.kind = EntryKind::symlink;
        entry.target = r.str16();
      } else if (kind == static_cast<std::uint8_t>(EntryKind::directory)) {
        entry.kind = EntryKind::directory;
      } else {
        return std::nullopt;
      }
      // Sorted and unique, so that two seals compare entry by entry.
      if (!validRelativePath(entry.path) || (!cd.entries.empty() && !(cd.entries.back().path < entry.path))) {
        return std::nullopt;
      }
      cd.entries.push_back(std::move(entry));
    }
  } else {
    return std::nullopt;
  }
  if (!r.atEnd()) return std::nullopt;
  return cd;
}

std::string SignatureBlob::encode() const {
  Writer w;
  w.raw(kBlobMagic);
  w.u32(static_cast<std::uint32_t>(directory.size()));
  w.raw(directory);
  w.u32(static_cast<std::uint32_t>(certificate.size()));
  w.raw(certificate);
  w.u16(static_cast<std::uint16_t>(signature.size()));
  w.raw(signature);
  return w.take();
}

std::optional<SignatureBlob> SignatureBlob::decode(std::string_view bytes) {
  Reader r(bytes);
  SignatureBlob blob;
  if (!r.expect(kBlobMagic)) return std::nullopt;
  blob.directory = std::string(r.raw(r.u32()));
  blob.certificate = std::string(r.raw(r.u32()));
  blob.signature = std::string(r.raw(r.u16()));
  if (!r.atEnd()) return std::nullopt;
  bool adhoc = blob.certificate.empty() && blob.signature.empty();
  bool signedByTeam = !blob.certificate.empty() && blob.signature.size() == kEd25519SignatureBytes;
  if (!adhoc && !signedByTeam) return std::nullopt;
  return blob;
}

std::string fileTrailer(std::uint64_t blobLength) {
  Writer w;
  w.u64(blobLength);
  w.raw(kTrailerMagic);
  return w.take();
}

std::optional<std::uint64_t> parseFileTrailer(std::string_view trailer) {
  if (trailer.size() != kTrailerBytes || trailer.substr(8) != kTrailerMagic) return std::nullopt;
  Reader r(trailer.substr(0, 8));
  return r.u64();
}

Digest sha256(std::string_view bytes) {
  Digest digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    std::abort();  // SHA-256 of memory cannot fail short of a broken library.
  }
  return digest;
}

bool verifyEd25519(std::string_view publicKey, std::string_view message, std::string_view signature) {
  if (publicKey.size() != kEd25519KeyBytes || signature.size() != kEd25519SignatureBytes) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                  reinterpret_cast<const unsigned char*>(publicKey.data()), publicKey.size()),
      &EVP_PKEY_free);
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace tidewarden::platform::codesign
