// A test Mac for startup items: daemons, scripts and signed programs in a temporary root.
#include "startup_item_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/property_list.h"

namespace tidewarden::testing {

StartupItemFixture::StartupItemFixture() {
  signing_.addTeam(kAppleTeam, TestSigningAuthority::kAppleAnchor,
                   platform::codesign::CertificateClass::appleSoftware);
  signing_.addTeam(kDeveloperTeam, TestSigningAuthority::kAppleAnchor);
  test_ = std::make_unique<TestPlatform>(signing_.options().anchors);
  test_->facts.accounts = {{"root", 0}, {"avery", 501}};
  for (const char* folder : {"/Library/LaunchDaemons", "/Library/LaunchAgents", "/Users/Shared", "/private/tmp",
                             "/private/var/tmp", "/bin", "/usr/local/bin"}) {
    std::filesystem::create_directories(host(folder));
  }
  // The shell daemons name; a regular file is all the evaluation needs.
  write("/bin/sh", "#!/bin/sh\n");
}

std::string StartupItemFixture::host(const std::string& logical) const { return test_->rootPath() + logical; }

void StartupItemFixture::write(const std::string& logical, const std::string& bytes, mode_t mode) {
  std::filesystem::create_directories(std::filesystem::path(host(logical)).parent_path());
  writeFileBytes(host(logical), bytes, mode);
}

bool StartupItemFixture::exists(const std::string& logical) const {
  return std::filesystem::exists(std::filesystem::symlink_status(host(logical)));
}

std::string StartupItemFixture::read(const std::string& logical) const { return readFileBytes(host(logical)); }

void StartupItemFixture::symlink(const std::string& target, const std::string& logical) {
  std::filesystem::create_directories(std::filesystem::path(host(logical)).parent_path());
  std::filesystem::create_symlink(target, host(logical));
}

void StartupItemFixture::chown(const std::string& logical, uid_t uid) {
  if (::lchown(host(logical).c_str(), uid, static_cast<gid_t>(-1)) != 0) std::abort();
}

void StartupItemFixture::writeDaemon(const std::string& plistPath, const std::string& label,
                                     const std::vector<std::string>& arguments,
                                     const std::optional<std::string>& program) {
  platform::PropertyList list = platform::PropertyList::dictionary();
  list.set("Label", platform::PropertyList::string(label));
  platform::PropertyList array = platform::PropertyList::array();
  for (const std::string& argument : arguments) array.append(platform::PropertyList::string(argument));
  list.set("ProgramArguments", std::move(array));
  if (program) list.set("Program", platform::PropertyList::string(*program));
  list.set("RunAtLoad", platform::PropertyList::boolean(true));
  write(plistPath, list.toXml(), 0644);
}

void StartupItemFixture::writeScript(const std::string& logical, const std::string& body) {
  write(logical, "#!/bin/sh\n" + body);
}

void StartupItemFixture::writeProgram(const std::string& logical, Signer signer, const std::string& identifier) {
  write(logical, "\x7f" "ELF program bytes of " + logical);
  if (signer == Signer::none) return;
  const std::optional<std::string> team = signer == Signer::apple       ? kAppleTeam
                                          : signer == Signer::developer ? kDeveloperTeam
                                                                        : kAdhoc;
  signing_.sign(host(logical), identifier, team);
}

}  // namespace tidewarden::testing
