// The controller on Linux: an Intel Mac's System Management Controller through the kernel's applesmc driver.
#include "platform/linux/linux_smc_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "platform/file_io.h"

namespace tidewarden::platform {
namespace {

// A sysfs attribute is at most one page.
constexpr std::size_t kAttributeBytes = 4096;
// Controllers have hundreds of keys; a count beyond this is not one.
constexpr unsigned long kMaxKeyCount = 65536;
// fanN_output takes whole RPM below 0x4000 (the 14 integral bits of fpe2).
constexpr unsigned long kOutputLimitRPM = 0x4000;
// Fans the driver shows files for: keys F0.. to F9.., files fan1_.. to fan10_..
constexpr char kLastFanDigit = '9';
// The driver's answer was not what it documents.
constexpr int kUndocumented = EBADMSG;

// The parameter record as the controller reads it; written here on its own, like the
// simulated controller's, so that the transport's layout is checked against another.
constexpr std::size_t kKey = 0;
constexpr std::size_t kDataSize = 28;
constexpr std::size_t kDataType = 32;
constexpr std::size_t kResult = 40;
constexpr std::size_t kCommand = 42;
constexpr std::size_t kBytes = 48;
constexpr std::size_t kMaxValueBytes = 32;
constexpr std::uint8_t kReadValue = 5;
constexpr std::uint8_t kWriteValue = 6;
constexpr std::uint8_t kReadKeyInfo = 9;

std::uint32_t uint32At(const SmcParameterRecord& record, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(record[offset + i]) << (8 * i);
  return value;
}

void putUInt32(SmcParameterRecord& record, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) record[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Four characters packed first character in the most significant byte.
std::string fourCharactersAt(const SmcParameterRecord& record, std::size_t offset) {
  const std::uint32_t packed = uint32At(record, offset);
  std::string code;
  for (int shift = 24; shift >= 0; shift -= 8) code.push_back(static_cast<char>((packed >> shift) & 0xFF));
  return code;
}

void putFourCharacters(SmcParameterRecord& record, std::size_t offset, std::string_view code) {
  std::uint32_t packed = 0;
  for (char character : code) packed = (packed << 8) | static_cast<unsigned char>(character);
  putUInt32(record, offset, packed);
}

// An answer the driver documents as "%d\n" of a count or an index: decimal digits
// without sign or leading zero, one line feed. Nothing for anything else.
std::optional<unsigned long> decimalLine(std::string_view text) {
  if (text.size() < 2 || text.size() > 11 || text.back() != '\n') return std::nullopt;
  text.remove_suffix(1);
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value;
}

// A key or type name as the driver prints it ("%s\n" of four characters): four
// printable characters and a line feed.
std::optional<std::string> fourCharacterLine(std::string_view text) {
  if (text.size() != 5 || text[4] != '\n') return std::nullopt;
  const bool printable = std::all_of(text.begin(), text.end() - 1, [](char c) { return c >= 0x20 && c <= 0x7E; });
  if (!printable) return std::nullopt;
  return std::string(text.substr(0, 4));
}

// Ends a call: a file failed (its errno) or answered what the driver does not document.
struct FileRefusal {
  int error;
};

class DirectoryAttributes final : public AppleSmcAttributes {
 public:
  explicit DirectoryAttributes(UniqueFd directory) : directory_(std::move(directory)) {}

  Text read(const std::string& name) override {
    Text text;
    // Non-blocking and regular only: a pipe planted in the directory cannot hold a read.
    const UniqueFd file = openRegular(name, O_RDONLY, text.error);
    if (file && !readAll(file.get(), text.bytes, kAttributeBytes)) text.error = errno;
    return text;
  }

  int write(const std::string& name, std::string_view text) override {
    int error = 0;
    const UniqueFd file = openRegular(name, O_WRONLY, error);
    if (!file) return error;
    // The driver takes one write as one value: a second write would be another value,
    // so a short write is never continued.
    ssize_t written = 0;
    do {
      written = ::write(file.get(), text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno;
    return static_cast<std::size_t>(written) == text.size() ? 0 : EIO;
  }

 private:
  UniqueFd openRegular(const std::string& name, int flags, int& error) {
    UniqueFd file = openAt(directory_.get(), name, flags | O_NONBLOCK);
    if (!file) {
      error = errno;
      return file;
    }
    const std::optional<FileFacts> facts = fileFacts(file.get());
    if (!facts || !facts->regular) {
      error = facts && facts->directory ? EISDIR : EINVAL;
      return UniqueFd();
    }
    return file;
  }

  UniqueFd directory_;
};

// One user client: the keys of the driver's directory, looked up by name once each.
class AppleSmcConnection final : public SmcConnection {
 public:
  explicit AppleSmcConnection(std::unique_ptr<AppleSmcAttributes> files) : files_(std::move(files)) {}

  SmcCallResult call(const SmcParameterRecord& input) override {
    SmcCallResult result;
    result.outputSize = kSmcParameterRecordSize;
    SmcParameterRecord& output = result.output;
    std::copy_n(input.begin() + kKey, 4, output.begin() + kKey);
    output[kCommand] = input[kCommand];
    const std::string key = fourCharactersAt(input, kKey);
    const std::uint32_t dataSize = uint32At(input, kDataSize);
    try {
      const std::uint8_t command = input[kCommand];
      if (command != kReadValue && command != kWriteValue && command != kReadKeyInfo) {
        output[kResult] = kSmcResultBadCommand;
        return result;
      }
      const std::optional<unsigned long> index = locate(key);
      if (!index) {
        output[kResult] = kSmcResultKeyNotFound;
      } else if (command == kReadKeyInfo) {
        const KeyInfo info = keyInfo(*index, key);
        putUInt32(output, kDataSize, info.length);
        putFourCharacters(output, kDataType, info.type);
      } else if (command == kReadValue) {
        select(*index, key);
        const std::string data = readFile("key_at_index_data");
        confirmSelected(*index);
        if (data.size() != dataSize || dataSize > kMaxValueBytes) {
          output[kResult] = kSmcResultBadArgument;
        } else {
          putUInt32(output, kDataSize, dataSize);
          std::copy(data.begin(), data.end(), output.begin() + kBytes);
        }
      } else {
        output[kResult] = write(*index, key, dataSize, input);
      }
      return result;
    } catch (const FileRefusal& refusal) {
      return SmcCallResult{-refusal.error, 0, {}};
    }
  }

 private:
  struct KeyInfo {
    std::string type;
    std::uint32_t length = 0;
  };

  std::string readFile(const std::string& name) {
    AppleSmcAttributes::Text text = files_->read(name);
    if (text.error != 0) throw FileRefusal{text.error};
    return std::move(text.bytes);
  }
  void writeFile(const std::string& name, const std::string& text) {
    if (const int error = files_->write(name, text)) throw FileRefusal{error};
  }
  template <class T>
  static T documented(std::optional<T> value) {
    if (!value) throw FileRefusal{kUndocumented};
    return *value;
  }

  unsigned long keyCount() {
    if (!keyCount_) {
      const unsigned long count = documented(decimalLine(readFile("key_count")));
      if (count > kMaxKeyCount) throw FileRefusal{kUndocumented};
      keyCount_ = count;
    }
    return *keyCount_;
  }

  // Points the key-by-index files at `index` and returns the name found there.
  std::string nameAt(unsigned long index) {
    writeFile("key_at_index", std::to_string(index));
    return documented(fourCharacterLine(readFile("key_at_index_name")));
  }
  void select(unsigned long index, const std::string& key) {
    if (nameAt(index) != key) throw FileRefusal{kUndocumented};
  }
  // The index is the driver's one setting for every process: another writer in the
  // middle of a lookup makes its answers someone else's.
  void confirmSelected(unsigned long index) {
    if (documented(decimalLine(readFile("key_at_index"))) != index) throw FileRefusal{kUndocumented};
  }

  // The key's index, found by binary search in name order as the driver itself finds
  // keys; nothing when the controller has no such key. Both answers are cached, an
  // absence only when no other writer moved the index during the search.
  std::optional<unsigned long> locate(const std::string& key) {
    if (const auto known = located_.find(key); known != located_.end()) return known->second;
    const unsigned long count = keyCount();
    unsigned long low = 0;
    unsigned long high = count;
    std::optional<unsigned long> probed;
    std::string probedName;
    while (low < high) {
      const unsigned long middle = low + (high - low) / 2;
      probedName = nameAt(middle);
      probed = middle;
      if (probedName < key) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    std::optional<unsigned long> found;
    if (low < count) {
      if (probed != low) {
        probedName = nameAt(low);
        probed = low;
      }
      if (probedName == key) found = low;
    }
    if (probed) confirmSelected(*probed);
    located_[key] = found;
    return found;
  }

  KeyInfo keyInfo(unsigned long index, const std::string& key) {
    select(index, key);
    KeyInfo info;
    info.type = documented(fourCharacterLine(readFile("key_at_index_type")));
    const unsigned long length = documented(decimalLine(readFile("key_at_index_data_length")));
    // The driver keeps a key's length in one byte.
    if (length > 0xFF) throw FileRefusal{kUndocumented};
    info.length = static_cast<std::uint32_t>(length);
    confirmSelected(index);
    return info;
  }

  // A fan's mode or target written through the driver's file for it; the SMC result.
  std::uint8_t write(unsigned long index, const std::string& key, std::uint32_t dataSize,
                     const SmcParameterRecord& input) {
    const bool fanKey = key[0] == 'F' && key[1] >= '0' && key[1] <= kLastFanDigit;
    const bool mode = fanKey && key.substr(2) == "Md";
    const bool target = fanKey && key.substr(2) == "Tg";
    if (!mode && !target) return kSmcResultNotWritable;
    const KeyInfo info = keyInfo(index, key);
    if (dataSize != info.length || dataSize > kMaxValueBytes) return kSmcResultBadArgument;
    const std::uint8_t* value = &input[kBytes];
    const std::string file = "fan" + std::to_string(key[1] - '0' + 1) + (mode ? "_manual" : "_output");
    if (mode) {
      if (info.type != "ui8 ") return kSmcResultNotWritable;
      if (value[0] > 1) return kSmcResultBadArgument;
      writeFile(file, value[0] == 1 ? "1\n" : "0\n");
      return 0;
    }
    double rpm = 0;
    if (info.type == "fpe2") {
      const unsigned raw = (static_cast<unsigned>(value[0]) << 8) | value[1];
      // Whole RPM only: the file takes an integer and writes it back as rpm << 2.
      if (raw % 4 != 0) return kSmcResultBadArgument;
      rpm = raw / 4;
    } else if (info.type == "flt ") {
      const std::uint32_t bits = static_cast<std::uint32_t>(value[0]) | (static_cast<std::uint32_t>(value[1]) << 8) |
                                 (static_cast<std::uint32_t>(value[2]) << 16) |
                                 (static_cast<std::uint32_t>(value[3]) << 24);
      rpm = static_cast<double>(std::bit_cast<float>(bits));
      if (!std::isfinite(rpm) || rpm < 0 || rpm != std::floor(rpm)) return kSmcResultBadArgument;
    } else {
      return kSmcResultNotWritable;
    }
    if (rpm >= static_cast<double>(kOutputLimitRPM)) return kSmcResultBadArgument;
    writeFile(file, std::to_string(static_cast<unsigned long>(rpm)) + "\n");
    return 0;
  }

  std::unique_ptr<AppleSmcAttributes> files_;
  std::optional<unsigned long> keyCount_;
  std::map<std::string, std::optional<unsigned long>> located_;
};

class LinuxSmcClient final : public SmcClient {
 public:
  explicit LinuxSmcClient(std::function<AppleSmcOpenResult()> open) : open_(std::move(open)) {}

  OpenResult open() override {
    AppleSmcOpenResult opened = open_();
    if (opened.status != OpenStatus::opened || !opened.attributes) {
      return {opened.status == OpenStatus::opened ? OpenStatus::serviceUnavailable : opened.status, nullptr};
    }
    return {OpenStatus::opened, std::make_unique<AppleSmcConnection>(std::move(opened.attributes))};
  }

 private:
  std::function<AppleSmcOpenResult()> open_;
};

}  // namespace

AppleSmcOpenResult openAppleSmcAttributes(const UniqueFd& root) {
  UniqueFd directory = openBeneath(root, kAppleSmcDirectory, O_RDONLY | O_DIRECTORY);
  if (!directory) {
    const bool denied = errno == EACCES || errno == EPERM;
    return {denied ? SmcClient::OpenStatus::accessDenied : SmcClient::OpenStatus::serviceUnavailable, nullptr};
  }
  auto attributes = std::make_unique<DirectoryAttributes>(std::move(directory));
  if (attributes->read("name").bytes != "applesmc\n") return {SmcClient::OpenStatus::serviceUnavailable, nullptr};
  return {SmcClient::OpenStatus::opened, std::move(attributes)};
}

std::unique_ptr<SmcClient> makeLinuxSmcClient(std::function<AppleSmcOpenResult()> open) {
  return std::make_unique<LinuxSmcClient>(std::move(open));
}

}  // namespace tidewarden::platform
