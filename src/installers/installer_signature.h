// The Apple-anchored code-signature checks of a local installer and of its createinstallmedia.
#pragma once

#include <string>

#include "platform/code_signing.h"
#include "platform/platform.h"

namespace tidewarden::installers {

// Validity flags: all architectures + nested code + strict, and the relaxed set that
// the one resource-policy fallback uses.
inline constexpr std::uint32_t kStrictInstallerCheckFlags =
    platform::kSecCSCheckAllArchitectures | platform::kSecCSCheckNestedCode | platform::kSecCSStrictValidate;
inline constexpr std::uint32_t kRelaxedInstallerCheckFlags =
    platform::kSecCSCheckAllArchitectures | platform::kSecCSCheckNestedCode;

// Checks the static code at `path` against `requirement` with the strict flags. Only
// when that fails with -67013 (the seal leaves resources out) and the fallback is
// allowed is it checked once more with the relaxed flags. A refusal names the label,
// the step, the status and the Security framework's explanation (cut to 700
// characters), and says that permanent deletion was not approved. Throws
// InstallerSafetyError.
void checkStaticCode(const platform::CodeSigning& signing, const std::string& path, const std::string& requirement,
                     const std::string& label, bool allowResourcePolicyFallback);

// installerIdentity, then the bundle against "anchor apple and identifier \"ID\""
// (fallback allowed) and its createinstallmedia against "anchor apple" (no fallback).
// The default validateSignature probe. Reads only.
void validateInstallerSignature(const platform::Platform& platform, const std::string& bundlePath);

}  // namespace tidewarden::installers
