// In-memory signing authority and file helpers for tests that need signed code.
#include "support/signing_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/unique_fd.h"

namespace tidewarden::testing {

using platform::SigningKey;
using platform::TeamIdentity;
using platform::UniqueFd;

namespace {

[[noreturn]] void die(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "signing fixture: %s %s: %s\n", what.c_str(), path.c_str(), std::strerror(errno));
  std::abort();
}

}  // namespace

TestSigningAuthority::TestSigningAuthority() {
  addAnchor(kTestAnchor);
  addAnchor(kAppleAnchor);
}

void TestSigningAuthority::addAnchor(const std::string& name, bool trusted) {
  anchorKeys_.insert_or_assign(name, SigningKey::generate());
  std::erase(trusted_, name);
  if (trusted) trusted_.push_back(name);
}

void TestSigningAuthority::addTeam(const std::string& team, const std::string& anchorName) {
  SigningKey key = SigningKey::generate();
  platform::codesign::TeamCertificate certificate =
      platform::issueTeamCertificate(anchorKey(anchorName), anchorName, team, key.publicKey());
  teams_.insert_or_assign(team, TeamIdentity{key, certificate});
}

std::vector<platform::TrustAnchor> TestSigningAuthority::anchors() const {
  std::vector<platform::TrustAnchor> list;
  for (const std::string& name : trusted_) list.push_back({name, anchorKeys_.at(name).publicKey()});
  return list;
}

platform::CodeSigningOptions TestSigningAuthority::options(const platform::UniqueFd* root) const {
  platform::CodeSigningOptions options;
  options.anchors = anchors();
  options.root = root;
  return options;
}

void TestSigningAuthority::signFile(const std::string& path, const std::string& identifier,
                                    const std::optional<std::string>& team) {
  signBundle(path, identifier, team, {});
}

void TestSigningAuthority::signBundle(const std::string& path, const std::string& identifier,
                                      const std::optional<std::string>& team,
                                      const std::vector<std::string>& omitPatterns) {
  platform::SignOptions options;
  options.identifier = identifier;
  options.omitPatterns = omitPatterns;
  if (team) options.team = this->team(*team);
  platform::signCode(path, options);
}

std::string TestSigningAuthority::signedCopy(const std::string& source, const std::string& destination,
                                             const std::string& identifier, const std::optional<std::string>& team) {
  copyFileBytes(source, destination, 0755);
  signFile(destination, identifier, team);
  return destination;
}

const SigningKey& TestSigningAuthority::anchorKey(const std::string& name) const {
  auto found = anchorKeys_.find(name);
  if (found == anchorKeys_.end()) throw platform::SigningError("The test anchor " + name + " was never added.");
  return found->second;
}

const TeamIdentity& TestSigningAuthority::team(const std::string& name) {
  if (teams_.find(name) == teams_.end()) addTeam(name);
  return teams_.at(name);
}

std::string readFileBytes(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) die("cannot open", path);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) die("cannot read", path);
    if (got == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

void writeFileBytes(const std::string& path, const std::string& bytes, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!fd) die("cannot create", path);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) die("cannot write", path);
    done += static_cast<std::size_t>(written);
  }
  if (::fchmod(fd.get(), mode) != 0) die("cannot chmod", path);
}

void copyFileBytes(const std::string& source, const std::string& destination, mode_t mode) {
  writeFileBytes(destination, readFileBytes(source), mode);
}

}  // namespace tidewarden::testing
