// RAII temporary directory that every test suite builds its file-system fixtures in.
#pragma once

#include <string>

namespace tidewarden::testing {

// Creates a fresh private directory (mode 0700) under the system temporary directory
// and removes the whole tree on destruction. Removal never follows a symbolic link:
// a link planted in the tree (also one pointing outside it) is unlinked, not entered,
// and read-only directories are made writable first so tests may chmod freely.
// Creation failure aborts the test program: without a directory no test is meaningful.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path of the directory, without a trailing slash.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tidewarden::testing
