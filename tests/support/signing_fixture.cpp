// In-memory signing authority and file helpers for tests that need signed code.
#include "support/signing_fixture.h"

#include "platform/code_signing_format.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tidewarden::testing {

using namespace platform;

namespace {

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "signing fixture: cannot %s %s\n", what, path.c_str());
  std::abort();
}

}  // namespace

void TestSigningAuthority::addAnchor(const std::string& name, bool trusted) {
  anchorKeys_.insert_or_assign(name, SigningKey::generate());
  std::erase(trusted_, name);
  if (trusted) trusted_.push_back(name);
}

void TestSigningAuthority::addTeam(const std::string& team, const std::string& anchorName,
                                   std::optional<codesign::CertificateClass> certifies) {
  SigningKey key = SigningKey::generate();
  const SigningKey& anchor = anchorKeys_.at(anchorName);
  TeamIdentity identity{key, issueTeamCertificate(anchor, anchorName, team, key.publicKey(),
                                                  certifies.value_or(codesign::CertificateClass::developer))};
  identity.certificate.withoutClass = !certifies;
  identity.certificate.anchorSignature = anchor.sign(identity.certificate.signedPart());
  teams_.insert_or_assign(team, identity);
}

const TeamIdentity& TestSigningAuthority::team(const std::string& name) {
  if (!teams_.contains(name)) addTeam(name);
  return teams_.at(name);
}

CodeSigningOptions TestSigningAuthority::options(const UniqueFd* root) const {
  CodeSigningOptions options;
  for (const std::string& name : trusted_) options.anchors.push_back({name, anchorKeys_.at(name).publicKey()});
  options.root = root;
  return options;
}

void TestSigningAuthority::sign(const std::string& path, const std::string& identifier,
                                const std::optional<std::string>& team, const std::vector<std::string>& omitPatterns) {
  signCode(path, SignOptions{identifier, team ? std::optional(this->team(*team)) : std::nullopt, omitPatterns});
}

std::string TestSigningAuthority::signedCopy(const std::string& source, const std::string& destination,
                                             const std::string& identifier, const std::optional<std::string>& team) {
  writeFileBytes(destination, readFileBytes(source), 0755);
  sign(destination, identifier, team);
  return destination;
}

OSStatus TestSigningAuthority::check(const std::string& path, const std::string& requirementText, std::uint32_t flags,
                                     std::string* description) const {
  CodeSigning signing(options());
  std::shared_ptr<const CodeRequirement> requirement;
  if (!requirementText.empty()) {
    EXPECT_EQ(signing.createRequirementWithString(requirementText, 0, requirement), kErrSecSuccess) << requirementText;
  }
  std::shared_ptr<const StaticCodeObject> code;
  EXPECT_EQ(signing.createStaticCodeWithPath(path, 0, code), kErrSecSuccess) << path;
  return code ? signing.checkStaticValidity(*code, flags, requirement.get(), description) : kErrSecCSInternalError;
}

std::optional<SigningInformation> TestSigningAuthority::information(const std::string& path,
                                                                    std::uint32_t flags) const {
  CodeSigning signing(options());
  std::shared_ptr<const StaticCodeObject> code;
  std::optional<SigningInformation> info;
  EXPECT_EQ(signing.createStaticCodeWithPath(path, 0, code), kErrSecSuccess) << path;
  if (code) {
    EXPECT_EQ(signing.copySigningInformation(*code, flags, info), kErrSecSuccess) << path;
  }
  return info;
}

std::string signingRefusal(const std::string& path, const SignOptions& options) {
  try {
    signCode(path, options);
    return "(signed)";
  } catch (const SigningError& error) {
    return error.what();
  }
}

std::string readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (!in.is_open() || in.bad()) die("read", path);
  return bytes;
}

void writeFileBytes(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out || ::chmod(path.c_str(), mode) != 0) die("write", path);
}

std::string sparseSignedCopy(const std::string& program, const std::string& destination, std::uint64_t size,
                             const std::string& identifier, const std::optional<platform::TeamIdentity>& team) {
  namespace codesign = platform::codesign;
  std::filesystem::copy_file(program, destination);
  std::filesystem::resize_file(destination, size);
  codesign::CodeDirectory directory;
  directory.identifier = identifier;
  directory.signedLength = size;
  directory.codeDigest.fill(0x5a);
  codesign::SignatureBlob blob;
  if (team) {
    blob.certificate = team->certificate.encode();
    directory.teamIdentifier = team->certificate.teamIdentifier;
    directory.certificateDigest = codesign::sha256(blob.certificate);
  } else {
    directory.flags = platform::kSecCodeSignatureAdhoc;
  }
  blob.directory = directory.encode();
  if (team) blob.signature = team->key.sign(blob.directory);
  const std::string bytes = blob.encode();
  std::ofstream(destination, std::ios::binary | std::ios::app) << bytes << codesign::fileTrailer(bytes.size());
  return destination;
}

}  // namespace tidewarden::testing
