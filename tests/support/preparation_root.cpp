// Installer storage beneath a test root: scripted system tools and leftover preparation workspaces.
#include "support/preparation_root.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "storage/safe_paths.h"
#include "support/signing_fixture.h"

namespace tidewarden::testing {
void writeToolScript(const std::string& root, const std::string& logical, const std::string& body) {
  std::filesystem::create_directories(std::filesystem::path(root + logical).parent_path());
  writeFileBytes(root + logical, "#!/bin/sh\n" + body + "\n", 0755);
}

std::string attachedImagesScript(const std::string& imagesXml) {
  return "cat <<'PLIST'\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>images</key>"
         "<array>" + imagesXml + "</array></dict></plist>\nPLIST";
}

std::string leavePreparationWorkspace(const std::string& root, const std::string& id, int files) {
  const std::string base = root + "/private/var/tmp/com.ambergrove.Tidewarden";
  const std::string workspace = root + std::string(storage::kPreparationRoot) + "/" + id;
  std::filesystem::create_directories(workspace);
  for (const std::string& folder : {base, root + std::string(storage::kPreparationRoot), workspace}) {
    ::chmod(folder.c_str(), 0700);
  }
  writeFileBytes(workspace + "/operation.json",
            R"({"schema":1,"operationID":")" + id +
                R"(","version":"15.1","build":"24B83","purpose":"installer","createdAt":700000000,"phase":"extracting installer"})",
            0600);
  const std::string contents = workspace + "/Expanded/Install macOS Sequoia.app/Contents";
  std::filesystem::create_directories(contents + "/Resources");
  for (int i = 0; i < files; ++i) writeFileBytes(contents + "/Resources/file-" + std::to_string(i), std::string(4096, 'x'), 0600);
  std::filesystem::create_symlink("Resources", contents + "/Frameworks");
  return workspace;
}

}  // namespace tidewarden::testing
