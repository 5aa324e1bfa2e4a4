// The simulator's own trust anchors: generation with the signing API, storage in DIR/anchors.
#include "sim/world_anchors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/code_signer.h"
#include "platform/file_io.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

using platform::UniqueFd;

constexpr std::string_view kAnchorsFolder = "anchors";
constexpr std::string_view kPrivateKeySuffix = ".key";
constexpr std::string_view kPublicKeySuffix = ".pub";
// A PEM key is well under a kilobyte; this only bounds a damaged file.
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Creates `name` exclusively (never replacing a key) with `mode`, writes and syncs it.
void writeNewFile(const UniqueFd& folder, const std::string& name, std::string_view bytes, mode_t mode,
                  const std::string& shownPath) {
  const UniqueFd fd = platform::openAt(folder.get(), name, O_WRONLY | O_CREAT | O_EXCL, mode);
  if (!fd) throw WorldError("Cannot create " + shownPath + ": " + platform::errnoText(errno));
  if (::fchmod(fd.get(), mode) != 0) throw WorldError("Cannot set the mode of " + shownPath + ": " + platform::errnoText(errno));
  if (!platform::writeAll(fd.get(), bytes)) {
    throw WorldError("Cannot write " + shownPath + ": " + platform::errnoText(errno));
  }
  if (::fsync(fd.get()) != 0) throw WorldError("Cannot write " + shownPath + ": " + platform::errnoText(errno));
}

std::string readSmallFile(const UniqueFd& folder, const std::string& name, const std::string& shownPath) {
  const UniqueFd fd = platform::openAt(folder.get(), name, O_RDONLY);
  std::string bytes;
  if (!fd || !platform::readAll(fd.get(), bytes, kMaxKeyFileBytes)) {
    if (errno == EFBIG) throw WorldError("The world anchor " + shownPath + " is too large to be a key.");
    throw WorldError("Cannot read the world anchor " + shownPath + ": " + platform::errnoText(errno));
  }
  return bytes;
}

UniqueFd openAnchorsFolder(const UniqueFd& dir, const std::string& directory) {
  const std::string folder(kAnchorsFolder);
  UniqueFd fd = platform::openAt(dir.get(), folder, O_RDONLY | O_DIRECTORY);
  if (!fd) throw WorldError("Cannot open " + directory + "/" + folder + ": " + platform::errnoText(errno));
  return fd;
}

}  // namespace

void createWorldAnchors(const UniqueFd& dir, const std::string& directory, const std::vector<std::string>& names) {
  const std::string folder(kAnchorsFolder);
  // Private keys of the simulated signers: readable by the simulator's user only.
  if (::mkdirat(dir.get(), folder.c_str(), 0700) != 0) {
    throw WorldError("Cannot create " + directory + "/" + folder + ": " + platform::errnoText(errno));
  }
  const UniqueFd anchors = openAnchorsFolder(dir, directory);
  for (const std::string& name : names) {
    const platform::SigningKey key = platform::SigningKey::generate();
    const std::string base = directory + "/" + folder + "/" + name;
    writeNewFile(anchors, name + std::string(kPrivateKeySuffix), key.privateKeyPem(), 0600,
                 base + std::string(kPrivateKeySuffix));
    writeNewFile(anchors, name + std::string(kPublicKeySuffix), key.publicKeyPem(), 0644,
                 base + std::string(kPublicKeySuffix));
  }
}

void signAsWorldSigner(const std::string& directory, const std::string& host, const std::string& signer,
                       const std::string& identifier, const std::vector<std::string>& omit) {
  if (signer == "unsigned") return;
  platform::SignOptions options{identifier, std::nullopt, omit};
  if (signer != "adhoc") {
    const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) throw WorldError("Cannot open " + directory + ": " + platform::errnoText(errno));
    const std::string name = std::string(SimulatedMac::kAppleAnchorName) + std::string(kPrivateKeySuffix);
    const auto anchor = platform::SigningKey::fromPrivateKeyPem(readSmallFile(
        openAnchorsFolder(dir, directory), name, directory + "/" + std::string(kAnchorsFolder) + "/" + name));
    if (!anchor) throw WorldError("The world's apple anchor key cannot be read.");
    using platform::codesign::CertificateClass;
    const bool apple = signer == "apple";
    const platform::SigningKey key = platform::SigningKey::generate();
    options.team = platform::TeamIdentity{
        key, platform::issueTeamCertificate(*anchor, std::string(SimulatedMac::kAppleAnchorName),
                                            apple ? kAppleTeam : kDeveloperTeam, key.publicKey(),
                                            apple ? CertificateClass::appleSoftware : CertificateClass::developer)};
  }
  platform::signCode(host, options);
}

std::vector<platform::TrustAnchor> readWorldAnchors(const UniqueFd& dir, const std::string& directory,
                                                    const std::vector<std::string>& names) {
  const UniqueFd anchors = openAnchorsFolder(dir, directory);
  std::vector<platform::TrustAnchor> result;
  for (const std::string& name : names) {
    const std::string file = name + std::string(kPublicKeySuffix);
    const std::string shown = directory + "/" + std::string(kAnchorsFolder) + "/" + file;
    std::optional<std::string> publicKey = platform::publicKeyFromPem(readSmallFile(anchors, file, shown));
    if (!publicKey) throw WorldError("The world anchor " + shown + " is not an Ed25519 public key.");
    result.push_back(platform::TrustAnchor{name, std::move(*publicKey)});
  }
  return result;
}

}  // namespace tidewarden::sim
