// Benchmark: the preparation tree snapshot over 100,000 entries beside a bare
// openat/fdopendir/fstatat walk of the same tree, in entries per second, and their ratio.
//
// Usage: tidewarden-bench-snapshot [DIRECTORY]   (default: a fresh directory under $TMPDIR or /tmp)
// The tree is built once in DIRECTORY (100 folders of 999 files and one of the rest),
// the two walks run five times each, taking turns, and the best run of each is reported.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/file_flags.h"
#include "platform/unique_fd.h"
#include "storage/preparation_tree_snapshot.h"

namespace {

using tidewarden::platform::UniqueFd;
constexpr std::size_t kEntries = tidewarden::storage::kPreparationEntryLimit;
constexpr int kRuns = 5;

void buildTree(const std::string& root) {
  std::size_t made = 0;
  for (int d = 0; made < kEntries; ++d) {
    const std::string directory = root + "/" + std::to_string(d);
    if (::mkdir(directory.c_str(), 0700) != 0) std::exit((std::perror(directory.c_str()), 1));
    ++made;
    for (int f = 0; f < 999 && made < kEntries; ++f, ++made) {
      UniqueFd file(::open((directory + "/" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
      if (!file) std::exit((std::perror("create"), 1));
    }
  }
}

// The least a walk can do: list every directory and stat every entry, descending
// into directories; no identity, no checks, no copies kept.
std::size_t bareWalk(int dirFd) {
  std::size_t count = 0;
  const int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) std::exit((std::perror("fdopendir"), 1));
  while (const dirent* entry = ::readdir(stream)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat st{};
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) std::exit((std::perror("fstatat"), 1));
    ++count;
    if (S_ISDIR(st.st_mode)) {
      UniqueFd child(::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      count += bareWalk(child.get());
    }
  }
  ::closedir(stream);
  return count;
}

// One timed walk, in entries per second; a walk that does not see every entry ends the run.
template <class Walk>
double entriesPerSecond(Walk&& walk) {
  const auto start = std::chrono::steady_clock::now();
  const std::size_t entries = walk();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (entries != kEntries) std::exit((std::fprintf(stderr, "walked %zu entries, expected %zu\n", entries, kEntries), 1));
  return static_cast<double>(entries) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  bool made = false;
  if (argc > 1) {
    root = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tidewarden-snapshot-bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return (std::perror("mkdtemp"), 1);
    root = pattern;
    made = true;
  }
  std::printf("building %zu entries in %s ...\n", kEntries, root.c_str());
  buildTree(root);
  UniqueFd tree(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!tree) return (std::perror(root.c_str()), 1);

  const auto fileFlags = tidewarden::platform::makeFileFlags();
  // The two walks take turns, so that a machine whose load changes during the run
  // slows both alike rather than whichever happened to run then.
  double bare = 0;
  double snapshot = 0;
  for (int run = 0; run < kRuns; ++run) {
    bare = std::max(bare, entriesPerSecond([&] { return bareWalk(tree.get()); }));
    snapshot = std::max(snapshot, entriesPerSecond([&] {
      const auto taken = tidewarden::storage::snapshotPreparationTree(tree.get(), *fileFlags);
      if (!taken.complete) std::exit((std::fprintf(stderr, "the snapshot stopped at its entry limit\n"), 1));
      return taken.entries.size();
    }));
  }
  std::printf("bare openat/fdopendir/fstatat walk: %12.0f entries/s\n", bare);
  std::printf("preparation tree snapshot:          %12.0f entries/s\n", snapshot);
  std::printf("snapshot / bare:                    %12.2f\n", snapshot / bare);
  if (made) std::filesystem::remove_all(root);
  return 0;
}
