// The simulator's own installer package and disk-image formats, written by the world verb and read by the simulated tools.
#include "sim/simulated_package.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "platform/sha256.h"

namespace tidewarden::sim {
namespace {

using nlohmann::json;

constexpr std::string_view kHeaderText = "xar!\ntidewarden-sim-package 1\ntoc ";
constexpr std::string_view kTrailerText = "koly\ntidewarden-sim-image ";
constexpr std::size_t kMaxTocBytes = 16 * 1024 * 1024;

bool writeAt(int fd, std::string_view bytes, std::int64_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool readAt(int fd, std::string& out, std::size_t length, std::int64_t offset) {
  out.assign(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out.data() + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string block(std::string text) {
  text.resize(kPackageBlockBytes, '\0');
  return text;
}

std::string hex(const platform::Sha256::Digest& digest) { return platform::toLowerHex(digest.data(), digest.size()); }

// Whole decimal number at the start of `text`, up to a line feed.
std::optional<std::int64_t> number(std::string_view text) {
  std::int64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 18; ++i) value = value * 10 + (text[i] - '0');
  if (i == 0) return std::nullopt;
  return value;
}

}  // namespace

bool writeSimulatedPackage(int fd, const SimulatedPackage& package, std::int64_t sizeBytes) {
  std::string data;
  json entries = json::array();
  for (const SimulatedPackageEntry& entry : package.entries) {
    json record{{"path", entry.path}, {"directory", entry.directory}, {"mode", entry.mode}};
    if (!entry.directory) {
      record["offset"] = data.size();
      record["length"] = entry.bytes.size();
      data += entry.bytes;
    }
    entries.push_back(record);
  }
  std::optional<std::pair<std::size_t, std::size_t>> image;
  if (package.embeddedImage) {
    image = {data.size(), package.embeddedImage->size()};
    data += *package.embeddedImage;
  }
  const json toc{{"signer", package.signer}, {"digest", hex(platform::Sha256::of(data))}, {"entries", entries}};
  const std::string tocText = toc.dump();
  const std::int64_t dataStart = static_cast<std::int64_t>(kPackageBlockBytes + tocText.size());
  std::string header = block(std::string(kHeaderText) + std::to_string(tocText.size()) + "\n");
  if (!writeAt(fd, header, 0) || !writeAt(fd, tocText, kPackageBlockBytes) || !writeAt(fd, data, dataStart)) {
    return false;
  }
  // Entry offsets in the table are relative to the data region.
  std::int64_t end = dataStart + static_cast<std::int64_t>(data.size());
  const std::int64_t trailer = image ? static_cast<std::int64_t>(kPackageBlockBytes) : 0;
  if (sizeBytes > end + trailer && ::ftruncate(fd, sizeBytes - trailer) != 0) return false;
  if (sizeBytes > end + trailer) end = sizeBytes - trailer;
  if (image) {
    const std::string koly = block(std::string(kTrailerText) + std::to_string(dataStart + image->first) + " " +
                                   std::to_string(image->second) + "\n");
    if (!writeAt(fd, koly, end)) return false;
  }
  return true;
}

std::optional<SimulatedPackageReading> readSimulatedPackage(int fd) {
  std::string header;
  if (!readAt(fd, header, kPackageBlockBytes, 0) || header.compare(0, kHeaderText.size(), kHeaderText) != 0) {
    return std::nullopt;
  }
  const auto tocLength = number(std::string_view(header).substr(kHeaderText.size()));
  if (!tocLength || *tocLength <= 0 || static_cast<std::size_t>(*tocLength) > kMaxTocBytes) return std::nullopt;
  std::string tocText;
  if (!readAt(fd, tocText, static_cast<std::size_t>(*tocLength), kPackageBlockBytes)) return std::nullopt;
  const json toc = json::parse(tocText, nullptr, /*allow_exceptions=*/false);
  if (!toc.is_object() || !toc.contains("entries") || !toc["entries"].is_array()) return std::nullopt;
  const std::int64_t dataStart = static_cast<std::int64_t>(kPackageBlockBytes) + *tocLength;
  SimulatedPackageReading reading;
  std::int64_t dataEnd = dataStart;
  try {
    reading.package.signer = toc.at("signer").get<std::string>();
    for (const json& record : toc["entries"]) {
      SimulatedPackageEntry entry;
      entry.path = record.at("path").get<std::string>();
      entry.directory = record.at("directory").get<bool>();
      entry.mode = record.at("mode").get<mode_t>();
      if (!entry.directory) {
        entry.offset = dataStart + record.at("offset").get<std::int64_t>();
        entry.length = record.at("length").get<std::int64_t>();
        dataEnd = std::max(dataEnd, entry.offset + entry.length);
      }
      reading.package.entries.push_back(std::move(entry));
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    // The data region ends where the last entry or the embedded image ends.
    std::string trailer;
    if (st.st_size >= static_cast<off_t>(kPackageBlockBytes) &&
        readAt(fd, trailer, kPackageBlockBytes, st.st_size - static_cast<off_t>(kPackageBlockBytes)) &&
        trailer.compare(0, kTrailerText.size(), kTrailerText) == 0) {
      std::string_view rest = std::string_view(trailer).substr(kTrailerText.size());
      const auto offset = number(rest);
      const auto space = rest.find(' ');
      const auto length = space == std::string_view::npos ? std::nullopt : number(rest.substr(space + 1));
      if (offset && length) dataEnd = std::max(dataEnd, *offset + *length);
    }
    platform::Sha256 digest;
    std::string chunk;
    for (std::int64_t at = dataStart; at < dataEnd;) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::int64_t>(dataEnd - at, 1 << 20));
      if (!readAt(fd, chunk, step, at)) return std::nullopt;
      digest.update(chunk);
      at += static_cast<std::int64_t>(step);
    }
    reading.digestMatches = hex(digest.finish()) == toc.at("digest").get<std::string>();
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return reading;
}

std::string makeSimulatedImage(const std::vector<SimulatedImageFile>& files) {
  json list = json::array();
  for (const SimulatedImageFile& file : files) list.push_back({{"path", file.path}, {"content", file.content}});
  return std::string(kImageMagic) + json{{"files", list}}.dump();
}

std::optional<std::vector<SimulatedImageFile>> readSimulatedImage(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::int64_t offset = 0;
  std::int64_t length = st.st_size;
  std::string head;
  if (!readAt(fd, head, std::min<std::size_t>(kImageMagic.size(), static_cast<std::size_t>(st.st_size)), 0) ||
      head != kImageMagic) {
    std::string trailer;
    if (st.st_size < static_cast<off_t>(kPackageBlockBytes) ||
        !readAt(fd, trailer, kPackageBlockBytes, st.st_size - static_cast<off_t>(kPackageBlockBytes)) ||
        trailer.compare(0, kTrailerText.size(), kTrailerText) != 0) {
      return std::nullopt;
    }
    std::string_view rest = std::string_view(trailer).substr(kTrailerText.size());
    const auto at = number(rest);
    const auto space = rest.find(' ');
    const auto size = space == std::string_view::npos ? std::nullopt : number(rest.substr(space + 1));
    if (!at || !size || *at + *size > st.st_size) return std::nullopt;
    offset = *at;
    length = *size;
  }
  if (length > kMaxSimulatedImageBytes || length < static_cast<std::int64_t>(kImageMagic.size())) return std::nullopt;
  std::string bytes;
  if (!readAt(fd, bytes, static_cast<std::size_t>(length), offset) || bytes.compare(0, kImageMagic.size(), kImageMagic) != 0) {
    return std::nullopt;
  }
  const json image = json::parse(bytes.substr(kImageMagic.size()), nullptr, /*allow_exceptions=*/false);
  if (!image.is_object() || !image.contains("files") || !image["files"].is_array()) return std::nullopt;
  std::vector<SimulatedImageFile> files;
  try {
    for (const json& file : image["files"]) {
      files.push_back({file.at("path").get<std::string>(), file.at("content").get<std::string>()});
    }
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return files;
}

}  // namespace tidewarden::sim
