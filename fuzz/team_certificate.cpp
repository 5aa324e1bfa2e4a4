// Fuzz target: the team certificate reader. Decoding is exact, so a certificate that
// decodes re-encodes to the very same bytes and its names are valid; only a certificate
// that states Apple's class is Apple's; one the fuzz anchor signed stops verifying when any
// signed byte (its magic and class among them) changes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_keys.h"
#include "platform/code_signing_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace codesign = tidewarden::platform::codesign;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const auto certificate = codesign::TeamCertificate::decode(bytes);
  if (!certificate) return 0;
  FUZZ_CHECK(codesign::isValidName(certificate->anchorName) && codesign::isValidName(certificate->teamIdentifier),
             "accepted invalid names: " + printable(bytes));
  FUZZ_CHECK(certificate->subjectPublicKey.size() == codesign::kEd25519KeyBytes &&
                 certificate->anchorSignature.size() == codesign::kEd25519SignatureBytes,
             "accepted a key or signature of the wrong size");
  // The class byte follows the magic and the two names; a "TWCERT01" certificate has none.
  const bool classless = bytes.starts_with("TWCERT01");
  const std::size_t classAt = 12 + certificate->anchorName.size() + certificate->teamIdentifier.size();
  const bool statesApple = !classless && static_cast<unsigned char>(bytes[classAt]) == 1;
  FUZZ_CHECK(certificate->withoutClass == classless && certificate->certifiesAppleSoftware() == statesApple,
             "the class read is not the class the bytes state: " + printable(bytes));
  FUZZ_CHECK(certificate->encode() == bytes, "a decoded certificate re-encodes to other bytes: " + printable(bytes));
  FUZZ_CHECK(certificate->signedPart() + certificate->anchorSignature == bytes,
             "the signed part is not the certificate without its signature");
  const auto again = codesign::TeamCertificate::decode(certificate->encode());
  FUZZ_CHECK(again && again->anchorName == certificate->anchorName &&
                 again->teamIdentifier == certificate->teamIdentifier &&
                 again->subjectPublicKey == certificate->subjectPublicKey &&
                 again->anchorSignature == certificate->anchorSignature && again->certifies == certificate->certifies &&
                 again->withoutClass == certificate->withoutClass,
             "a re-encoded certificate decodes to another one");
  // A certificate the fuzz anchor signed stops verifying when any signed byte changes.
  const std::string signedPart = certificate->signedPart();
  if (codesign::verifyEd25519(tidewarden::fuzz::anchorPublicKey(), signedPart, certificate->anchorSignature)) {
    for (std::size_t i = 0; i < signedPart.size(); ++i) {
      std::string changed = signedPart;
      changed[i] = static_cast<char>(changed[i] ^ 0x20);
      FUZZ_CHECK(!codesign::verifyEd25519(tidewarden::fuzz::anchorPublicKey(), changed, certificate->anchorSignature),
                 "the anchor signature still verifies after byte " + std::to_string(i) + " changed");
    }
  }
  return 0;
}
