// Hand-written binary property lists: object graphs (chains, shared references, cycles, raw
// objects) that no writer produces, for the tests of the bounded property-list reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tidewarden::testing {

// One object: an array of references, a short ASCII string (`array` false), or `raw`
// bytes exactly (marker included) when set.
struct BinaryObject {
  std::vector<std::uint32_t> refs;
  std::string text;
  bool array = true;
  std::string raw;
};

inline void putBigEndian(std::string& out, std::uint64_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

// The objects with 4-byte offsets and references; object `top` is the root.
inline std::string writeBinaryPlist(const std::vector<BinaryObject>& objects, std::uint32_t top = 0) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const BinaryObject& object : objects) {
    offsets.push_back(out.size());
    if (!object.raw.empty()) {
      out += object.raw;
    } else if (!object.array) {
      out.push_back(static_cast<char>(0x50 | object.text.size()));
      out += object.text;
    } else {
      if (object.refs.size() < 15) {
        out.push_back(static_cast<char>(0xA0 | object.refs.size()));
      } else {
        out += "\xAF\x12";
        putBigEndian(out, object.refs.size(), 4);
      }
      for (std::uint32_t ref : object.refs) putBigEndian(out, ref, 4);
    }
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets) putBigEndian(out, offset, 4);
  out.append(6, '\0');
  out += "\x04\x04";  // offset and reference widths
  putBigEndian(out, objects.size(), 8);
  putBigEndian(out, top, 8);
  putBigEndian(out, table, 8);
  return out;
}

// `count` arrays in which array i holds array i+1 `fanOut` times; the last is empty.
// Fan-out 1 nests `count` deep; fan-out 2 expands to 2^count values.
inline std::string arrayChainPlist(std::uint32_t count, std::uint32_t fanOut = 1) {
  std::vector<BinaryObject> objects(count);
  for (std::uint32_t i = 0; i + 1 < count; ++i) objects[i].refs.assign(fanOut, i + 1);
  return writeBinaryPlist(objects);
}

}  // namespace tidewarden::testing
