// Whether the private package snapshot carries Apple's own package signature.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tidewarden::materialize {

inline constexpr const char* kPackageSignatureRefused =
    "The private package snapshot did not pass Apple package-signature validation.";
// The status line pkgutil prints for a package signed by Apple itself. A package signed
// with a Developer ID prints "Status: signed by a developer certificate issued by Apple
// for distribution" and a certificate chain ending in "Apple Root CA", so the word
// "apple" alone would let any registered developer's package through.
inline constexpr std::string_view kAppleSoftwareStatusLine = "Status: signed Apple Software";

// Reads `pkgutil --check-signature` output: the lower-cased text must contain "apple"
// and one line, trimmed, must be exactly kAppleSoftwareStatusLine.
bool isApplePackageSignatureReport(std::string_view output);

// Runs pkgutil --check-signature on the snapshot (180 s, no free-space watch). A run that
// is not complete with status 0 is refused with kPackageSignatureRefused followed by the
// tool failure text; a report that isApplePackageSignatureReport rejects with
// kPackageSignatureRefused alone. Throws InstallerSafetyError.
void checkApplePackageSignature(const platform::Platform& platform, const std::string& snapshotPath);

}  // namespace tidewarden::materialize
