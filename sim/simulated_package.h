// The simulator's own installer package and disk-image formats, written by the world verb and read by the simulated tools.
//
// A package is one file:
//   [0, 512)              header block: "xar!", then "\ntidewarden-sim-package 1\ntoc <N>\n", zeros
//   [512, 512 + N)        table of contents (JSON): signer, data digest, entries
//   data region           the entries' bytes, one after the other
//   zeros                 padding up to the size asked for
//   last 512 bytes        hybrid packages only: a "koly" block naming the embedded image
// Every package begins like a XAR archive; only a hybrid also ends like a UDIF image.
// An entry is a directory or a file (bytes at `offset`, `length` long, with its mode),
// its path relative to the folder the package expands into. The digest is the SHA-256
// of the data region: pkgutil refuses a package whose data no longer matches it.
//
// A disk image is "TWSIMDMG1\n" followed by a JSON object {"files": [{"path", "content"}]};
// attaching it lays those files out under the mount point.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::sim {

inline constexpr std::size_t kPackageBlockBytes = 512;
inline constexpr std::string_view kImageMagic = "TWSIMDMG1\n";
// Largest image the simulated hdiutil reads whole.
inline constexpr std::int64_t kMaxSimulatedImageBytes = 64ll * 1024 * 1024;

struct SimulatedPackageEntry {
  std::string path;
  bool directory = false;
  mode_t mode = 0644;
  std::string bytes;         // files only (when writing)
  std::int64_t offset = 0;   // files only (when reading): where the bytes lie in the package
  std::int64_t length = 0;
};

struct SimulatedPackage {
  std::string signer;  // "apple", "developer" or "adhoc"
  std::vector<SimulatedPackageEntry> entries;
  // Hybrid packages: the image the koly block names, stored after the entries.
  std::optional<std::string> embeddedImage;
};

// Writes `package` to the open, empty file `fd`, padded with zeros (a hole) to
// `sizeBytes` when that is larger. Returns false with errno on a write failure.
bool writeSimulatedPackage(int fd, const SimulatedPackage& package, std::int64_t sizeBytes);

// The table of contents of the package in `fd` (entries with offsets; no bytes), and
// whether its data region still matches the digest. Nothing when it is not a package of
// this simulator.
struct SimulatedPackageReading {
  SimulatedPackage package;
  bool digestMatches = false;
};
std::optional<SimulatedPackageReading> readSimulatedPackage(int fd);

struct SimulatedImageFile {
  std::string path;
  std::string content;
};
std::string makeSimulatedImage(const std::vector<SimulatedImageFile>& files);
// The files of the image stored in `fd`: a file that is an image itself, or a hybrid
// package whose last block is a "koly" block naming the image inside it. Nothing when
// `fd` holds neither.
std::optional<std::vector<SimulatedImageFile>> readSimulatedImage(int fd);

}  // namespace tidewarden::sim
