// Bounded parsing, reading, building and writing of XML and binary property lists (libplist).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tidewarden::platform {

enum class PlistType { boolean, integer, real, string, array, dictionary, date, data, uid, invalid };

// A non-owning view of one value inside a PropertyList; valid only while that list
// lives and is not modified. A default-constructed or missing node has type
// `invalid`, and every accessor on it gives no value, so lookups chain safely:
// `root.get("a").get("b").asString()`. Accessors never convert between types.
class PlistNode {
 public:
  PlistNode() = default;

  bool valid() const { return node_ != nullptr; }
  explicit operator bool() const { return valid(); }
  PlistType type() const;

  std::optional<std::string> asString() const;
  // An integer that fits a signed 64-bit value (a value above INT64_MAX gives none).
  std::optional<int64_t> asInteger() const;
  // A non-negative integer (a negative one gives none).
  std::optional<uint64_t> asUnsigned() const;
  std::optional<double> asReal() const;
  std::optional<bool> asBool() const;
  // The raw bytes of a data value.
  std::optional<std::string> asData() const;
  // A date as seconds since 2001-01-01T00:00:00Z. Binary lists keep microseconds;
  // the XML form holds whole seconds only (fractions are cut toward zero on writing).
  std::optional<double> asDate() const;
  // A keyed archiver's object reference. The XML form has no UID element: it writes a
  // UID as the dictionary {"CF$UID": <integer>}, which reads back as that dictionary.
  std::optional<uint64_t> asUid() const;

  // Dictionary lookup; an invalid node when this is not a dictionary or has no such key.
  PlistNode get(std::string_view key) const;
  // Number of elements of an array or entries of a dictionary; 0 for anything else.
  size_t size() const;
  // Array element; an invalid node when out of range or not an array.
  PlistNode at(size_t index) const;
  // All array elements in order (empty for anything else).
  std::vector<PlistNode> elements() const;
  // All dictionary entries in document order (empty for anything else).
  std::vector<std::pair<std::string, PlistNode>> entries() const;

 private:
  friend class PropertyList;
  explicit PlistNode(void* node) : node_(node) {}
  void* node_ = nullptr;
};

// Owns one property-list tree.
//
// Parsing is bounded and never throws: input longer than the caller's limit, a
// malformed document, a string or key that is not UTF-8 text without NUL (libplist
// would drop or cut such text differently in each format, and over-read a shared copy
// of it), a binary dictionary naming a key twice (the XML reader keeps the last of
// duplicates itself), a date that date() would refuse, nesting deeper than
// kMaxNestingDepth, a binary list whose object references form a cycle, or one whose
// shared references would expand to more values than the input has bytes, all give no
// value. The last three are checked before the document reaches libplist, whose
// binary reader recurses per level and copies every shared reference (a few kilobytes
// can otherwise ask for gigabytes or overflow the stack).
class PropertyList {
 public:
  enum class Format { xml, binary };
  static constexpr size_t kMaxNestingDepth = 256;

  static std::optional<PropertyList> parse(std::string_view bytes, size_t maxBytes);

  // Builders. Strings and keys are text: one containing NUL is a caller bug (libplist
  // stores C strings) and aborts rather than being silently cut short.
  static PropertyList dictionary();
  static PropertyList array();
  static PropertyList string(std::string_view text);
  static PropertyList integer(int64_t value);
  static PropertyList unsignedInteger(uint64_t value);
  static PropertyList real(double value);
  static PropertyList boolean(bool value);
  static PropertyList data(std::string_view bytes);
  // No value when `secondsSinceReferenceDate` is not finite or outside what a
  // property-list date holds (32-bit seconds around 2001-01-01).
  static std::optional<PropertyList> date(double secondsSinceReferenceDate);

  PropertyList(PropertyList&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}
  PropertyList& operator=(PropertyList&& other) noexcept;
  PropertyList(const PropertyList&) = delete;
  PropertyList& operator=(const PropertyList&) = delete;
  ~PropertyList();

  PropertyList copy() const;

  // Sets `key` (replacing an existing value) in a dictionary; takes `value`'s tree.
  // Calling it on anything but a dictionary is a bug and aborts.
  PropertyList& set(std::string_view key, PropertyList value);
  // Appends to an array; calling it on anything but an array aborts.
  PropertyList& append(PropertyList value);

  PlistNode root() const { return PlistNode(root_); }

  // The XML form keeps whole seconds of a date (see asDate) and writes a negative zero
  // real as 0.0; the binary form keeps every value exactly.
  std::string serialize(Format format) const;
  std::string toXml() const { return serialize(Format::xml); }
  std::string toBinary() const { return serialize(Format::binary); }

 private:
  explicit PropertyList(void* root);
  void* release() { return std::exchange(root_, nullptr); }
  void* root_ = nullptr;
};

}  // namespace tidewarden::platform
