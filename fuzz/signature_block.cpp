// Fuzz target: the code-signature readers on bytes an attacker writes as a file's
// signature, and the whole static check of a file carrying them.
//
// Every input is tried (1) as a bare code directory, (2) as a signature blob with the
// directory and certificate inside it, and (3) as the signature appended to a fixed
// executable, which then goes through createStaticCodeWithPath, checkStaticValidity and
// copySigningInformation. Decoding is exact, so whatever decodes re-encodes to the same
// bytes; the check's verdict must agree with what the readers said about the bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_keys.h"
#include "platform/code_signing.h"
#include "platform/code_signing_format.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace {

namespace codesign = tidewarden::platform::codesign;
namespace platform = tidewarden::platform;
using tidewarden::fuzz::printable;

// The requirement a seed signed by the fuzz team satisfies.
constexpr const char* kTeamRequirement = "anchor trusted and certificate leaf[subject.OU] = \"TWFUZZTEAM1\"";

struct Fixture {
  Fixture() {
    FUZZ_CHECK(root, "cannot open the temporary root");
    FUZZ_CHECK(signing.createRequirementWithString(kTeamRequirement, platform::kSecCSDefaultFlags, requirement) ==
                   platform::kErrSecSuccess,
               "the team requirement does not parse");
  }
  tidewarden::testing::TempDir directory;
  platform::UniqueFd root{::open(directory.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  platform::CodeSigning signing{platform::CodeSigningOptions{{tidewarden::fuzz::fuzzAnchor()}, &root}};
  std::shared_ptr<const platform::CodeRequirement> requirement;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

void checkDirectory(std::string_view bytes) {
  const auto directory = codesign::CodeDirectory::decode(bytes);
  if (!directory) return;
  FUZZ_CHECK(codesign::isValidIdentifier(directory->identifier), "accepted an invalid identifier");
  FUZZ_CHECK(directory->encode() == bytes, "a decoded code directory re-encodes to other bytes: " + printable(bytes));
  for (std::size_t i = 1; i < directory->entries.size(); ++i) {
    FUZZ_CHECK(directory->entries[i - 1].path < directory->entries[i].path, "accepted an unsorted seal");
  }
  const auto again = codesign::CodeDirectory::decode(directory->encode());
  FUZZ_CHECK(again && again->entries == directory->entries && again->identifier == directory->identifier &&
                 again->flags == directory->flags && again->omitPatterns == directory->omitPatterns,
             "a re-encoded code directory decodes to another one");
}

// What the readers make of the blob; nullopt when it does not decode.
struct DecodedBlob {
  codesign::SignatureBlob blob;
  std::optional<codesign::CodeDirectory> directory;
  std::optional<codesign::TeamCertificate> certificate;
};

std::optional<DecodedBlob> checkBlob(std::string_view bytes) {
  auto blob = codesign::SignatureBlob::decode(bytes);
  if (!blob) return std::nullopt;
  FUZZ_CHECK(blob->encode() == bytes, "a decoded signature blob re-encodes to other bytes: " + printable(bytes));
  FUZZ_CHECK(blob->certificate.empty() == blob->signature.empty(), "accepted half an ad hoc signature");
  checkDirectory(blob->directory);
  DecodedBlob decoded{*blob, codesign::CodeDirectory::decode(blob->directory), std::nullopt};
  if (!blob->certificate.empty()) {
    decoded.certificate = codesign::TeamCertificate::decode(blob->certificate);
    if (decoded.certificate) {
      FUZZ_CHECK(decoded.certificate->encode() == blob->certificate, "a certificate re-encodes to other bytes");
    }
  }
  return decoded;
}

// A new file each time: ext4 flushes a file truncated and rewritten when it is closed,
// which made every run wait for the disk.
void writeCode(const std::string& bytes) {
  ::unlinkat(fixture().root.get(), "code", 0);
  platform::UniqueFd file(::openat(fixture().root.get(), "code", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   0755));
  FUZZ_CHECK(file, "cannot write the code file");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    FUZZ_CHECK(n > 0, "cannot write the code file");
    done += static_cast<std::size_t>(n);
  }
}

void checkStaticCode(std::string_view signature, const std::optional<DecodedBlob>& decoded) {
  Fixture& f = fixture();
  // Input that brings its own trailer is written as it is, so lying trailers are tried too.
  const bool ownTrailer =
      signature.size() >= codesign::kTrailerBytes && codesign::parseFileTrailer(signature.substr(signature.size() - 16));
  std::string file(tidewarden::fuzz::kSignedContent);
  file.append(signature);
  if (!ownTrailer) file += codesign::fileTrailer(signature.size());
  writeCode(file);

  std::shared_ptr<const platform::StaticCodeObject> code;
  FUZZ_CHECK(f.signing.createStaticCodeWithPath("/code", platform::kSecCSDefaultFlags, code) ==
                 platform::kErrSecSuccess,
             "the code file cannot be opened as static code");
  std::string description = "unset";
  const platform::OSStatus status =
      f.signing.checkStaticValidity(*code, platform::kSecCSStrictValidate, nullptr, &description);
  static const std::set<platform::OSStatus> kFileStatuses = {
      platform::kErrSecSuccess, platform::kErrSecCSUnsigned, platform::kErrSecCSSignatureFailed};
  FUZZ_CHECK(kFileStatuses.count(status) == 1, "unexpected status " + std::to_string(status) + ": " + description);
  FUZZ_CHECK(description.empty() == (status == platform::kErrSecSuccess),
             "the error description does not match status " + std::to_string(status) + ": " + description);

  std::optional<platform::SigningInformation> information;
  const platform::OSStatus infoStatus =
      f.signing.copySigningInformation(*code, platform::kSecCSSigningInformation, information);
  FUZZ_CHECK(information.has_value() == (infoStatus == platform::kErrSecSuccess),
             "signing information and its status disagree");
  if (information) {
    FUZZ_CHECK(information->mainExecutable == "/code", "the main executable of a file is not its own path");
  }

  if (ownTrailer) return;
  // The blob is exactly the input: the verdict must follow from what the readers said.
  const bool readable = decoded && decoded->directory && decoded->directory->format == codesign::CodeFormat::file &&
                        (decoded->blob.certificate.empty() || decoded->certificate);
  if (!readable) {
    FUZZ_CHECK(status == platform::kErrSecCSSignatureFailed && infoStatus == platform::kErrSecCSSignatureFailed,
               "a signature the readers refuse was not refused as malformed (" + std::to_string(status) + ", " +
                   std::to_string(infoStatus) + ")");
    return;
  }
  FUZZ_CHECK(infoStatus == platform::kErrSecSuccess && information->identifier == decoded->directory->identifier &&
                 information->flags == decoded->directory->flags,
             "the signing information does not report the directory's identifier and flags");
  if (information->teamIdentifier) {
    FUZZ_CHECK(decoded->certificate && decoded->certificate->anchorName == tidewarden::fuzz::kAnchorName &&
                   *information->teamIdentifier == decoded->certificate->teamIdentifier,
               "a team was reported that no trusted certificate vouches for");
  }
  // Valid exactly when the directory covers these bytes and binds its certificate (or,
  // ad hoc, none), and the certificate's key signed the directory.
  const codesign::CodeDirectory& directory = *decoded->directory;
  const bool coversContent = directory.signedLength == tidewarden::fuzz::kSignedContent.size() &&
                             directory.codeDigest == codesign::sha256(tidewarden::fuzz::kSignedContent);
  const bool bound =
      decoded->certificate
          ? directory.teamIdentifier == decoded->certificate->teamIdentifier &&
                directory.certificateDigest == codesign::sha256(decoded->blob.certificate) &&
                codesign::verifyEd25519(decoded->certificate->subjectPublicKey, decoded->blob.directory,
                                        decoded->blob.signature)
          : directory.teamIdentifier.empty() && directory.certificateDigest == codesign::Digest{};
  FUZZ_CHECK((status == platform::kErrSecSuccess) == (coversContent && bound),
             "verdict " + std::to_string(status) + " for a signature that " +
                 (coversContent ? "covers" : "does not cover") + " the file and is " +
                 (bound ? "bound" : "not bound") + " to its certificate");
  if (status != platform::kErrSecSuccess) return;
  // A team is reported exactly when a certificate is there and the fuzz anchor vouches for it.
  const bool vouched = decoded->certificate && decoded->certificate->anchorName == tidewarden::fuzz::kAnchorName &&
                       codesign::verifyEd25519(tidewarden::fuzz::anchorPublicKey(),
                                               decoded->certificate->signedPart(),
                                               decoded->certificate->anchorSignature);
  FUZZ_CHECK(information->teamIdentifier.has_value() == vouched,
             "a valid signature's team is reported without a vouching anchor, or not reported with one");
  const platform::OSStatus required = f.signing.checkStaticValidity(*code, 0, f.requirement.get());
  const bool fuzzTeam = information->teamIdentifier == std::string(tidewarden::fuzz::kTeam);
  FUZZ_CHECK((required == platform::kErrSecSuccess) == fuzzTeam,
             "the team requirement's verdict does not match the reported team");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  checkDirectory(bytes);
  const auto decoded = checkBlob(bytes);
  checkStaticCode(bytes, decoded);
  return 0;
}
