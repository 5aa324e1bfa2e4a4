// Byte formats of the code signature: team certificate, code directory, signature blob, file trailer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::platform::codesign {

// All integers are big-endian; strings carry a 16-bit length; decoding is exact (no
// trailing or missing byte is tolerated), so every byte of a blob is meaningful and a
// change to any of them is noticed.
//
//   certificate  = "TWCERT02" str16 anchorName str16 teamIdentifier u8 class key[32] sig[64]
//                | "TWCERT01" str16 anchorName str16 teamIdentifier key[32] sig[64]
//                  (sig: the anchor's Ed25519 signature over everything before it, the
//                   magic and the class included; "TWCERT01" was written before
//                   certificates stated a class and certifies a developer)
//   directory    = "TWCSDIR1" u8 format u32 flags str16 identifier str16 team
//                  digest[32] certificateDigest
//                  file:   u64 signedLength digest[32] sha256(signed range)
//                  bundle: str16 mainExecutable u16 omitCount str16* u32 entryCount entry*
//                  entry  = u8 kind str16 path (file: digest[32] | symlink: str16 target | dir)
//   blob         = "TWCSBLOB" u32 directoryLength directory u32 certificateLength certificate
//                  u16 signatureLength signature
//                  (signature: the team key's Ed25519 signature over the directory bytes;
//                   ad hoc: no certificate, no signature, empty team, zero digest)
//   file trailer = blob u64 blobLength "TWCSEND1", appended to the executable; the
//                  signed range is every byte before the blob.

using Digest = std::array<unsigned char, 32>;

inline constexpr std::size_t kEd25519KeyBytes = 32;
inline constexpr std::size_t kEd25519SignatureBytes = 64;
inline constexpr std::string_view kTrailerMagic = "TWCSEND1";
inline constexpr std::size_t kTrailerBytes = 16;
// Largest blob appended to a single file (a file directory is a few hundred bytes).
inline constexpr std::uint64_t kMaxFileBlobBytes = 1 << 20;
// Largest bundle signature file (the seal lists every entry of the bundle).
inline constexpr std::uint64_t kMaxBundleBlobBytes = 64ull << 20;
// Where a bundle keeps its signature, relative to the bundle directory.
inline constexpr std::string_view kBundleSignatureDirectory = "Contents/_CodeSignature";
inline constexpr std::string_view kBundleSignatureName = "CodeSignature";
inline constexpr std::string_view kBundleSignaturePath = "Contents/_CodeSignature/CodeSignature";
// Upper bounds of the bundle seal, also enforced while decoding.
inline constexpr std::uint32_t kMaxSealedEntries = 250000;
inline constexpr std::uint16_t kMaxOmitPatterns = 64;

enum class CodeFormat : std::uint8_t { file = 1, bundle = 2 };
enum class EntryKind : std::uint8_t { file = 1, symlink = 2, directory = 3 };

// Names that end up as file names (anchors, teams) or in requirements: 1 to 64 of
// ASCII letters, digits, '.', '_' and '-', not "." or "..".
bool isValidName(std::string_view name);
// A code identifier: 1 to 255 printable ASCII characters.
bool isValidIdentifier(std::string_view identifier);

// What an anchor certifies a team key for. Under the anchor named "apple" only
// appleSoftware satisfies `anchor apple`; both satisfy `anchor apple generic`.
enum class CertificateClass : std::uint8_t { appleSoftware = 1, developer = 2 };

struct TeamCertificate {
  std::string anchorName;
  std::string teamIdentifier;
  CertificateClass certifies = CertificateClass::developer;
  std::string subjectPublicKey;  // raw Ed25519, 32 bytes
  std::string anchorSignature;   // 64 bytes
  // Read from a "TWCERT01" certificate, whose signed bytes state no class: it stays in
  // that format and certifies a developer whatever `certifies` says, so no old
  // certificate (the development team of an existing build folder) ever reads as Apple's.
  bool withoutClass = false;

  // Apple's own software: the class is appleSoftware in a certificate that states it.
  bool certifiesAppleSoftware() const { return !withoutClass && certifies == CertificateClass::appleSoftware; }

  // The bytes the anchor signs.
  std::string signedPart() const;
  std::string encode() const;
  static std::optional<TeamCertificate> decode(std::string_view bytes);
};

struct SealedEntry {
  EntryKind kind = EntryKind::file;
  std::string path;    // relative to the bundle, '/'-separated
  Digest digest{};     // files
  std::string target;  // symbolic links
  bool operator==(const SealedEntry&) const = default;
};

struct CodeDirectory {
  CodeFormat format = CodeFormat::file;
  std::uint32_t flags = 0;
  std::string identifier;
  std::string teamIdentifier;  // empty when ad hoc
  Digest certificateDigest{};  // zero when ad hoc
  // file
  std::uint64_t signedLength = 0;
  Digest codeDigest{};
  // bundle
  std::string mainExecutable;  // name under Contents/MacOS, empty when none
  std::vector<std::string> omitPatterns;
  std::vector<SealedEntry> entries;  // sorted by path, unique

  std::string encode() const;
  static std::optional<CodeDirectory> decode(std::string_view bytes);
};

struct SignatureBlob {
  std::string directory;    // encoded CodeDirectory
  std::string certificate;  // encoded TeamCertificate, empty when ad hoc
  std::string signature;    // empty when ad hoc

  std::string encode() const;
  static std::optional<SignatureBlob> decode(std::string_view bytes);
};

std::string fileTrailer(std::uint64_t blobLength);
// The blob length a trailer announces, or nullopt when the bytes are no trailer.
std::optional<std::uint64_t> parseFileTrailer(std::string_view trailer);

// SHA-256 of a byte string (certificates, small inputs).
Digest sha256(std::string_view bytes);
bool verifyEd25519(std::string_view publicKey, std::string_view message, std::string_view signature);

}  // namespace tidewarden::platform::codesign
