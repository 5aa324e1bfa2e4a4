// libplist behind a bounded parser, non-owning read views and a small builder.
#include "platform/property_list.h"
#include "platform/utf8.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>

namespace tidewarden::platform {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kBinaryTrailerBytes = 32;
constexpr double kMicrosecondsPerSecond = 1e6;

plist_t asPlist(void* node) { return static_cast<plist_t>(node); }

struct FreeWithFree {
  void operator()(void* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, FreeWithFree>;

uint64_t readBigEndian(const unsigned char* p, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | p[i];
  return value;
}

// Checks the object graph of a binary property list before libplist sees it: every
// offset and reference in range, no reference cycle, nesting at most
// kMaxNestingDepth, the fully expanded tree no larger than the input in values, and
// every string object text. Other leaf objects are left to libplist, which validates
// them without recursion.
class BinaryGraphCheck {
 public:
  explicit BinaryGraphCheck(std::string_view bytes)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

  bool run() {
    if (size_ < kBinaryMagic.size() + kBinaryTrailerBytes) return false;
    const unsigned char* trailer = data_ + size_ - kBinaryTrailerBytes;
    offsetWidth_ = trailer[6];
    refWidth_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    uint64_t top = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    objectsEnd_ = size_ - kBinaryTrailerBytes;
    if (offsetWidth_ < 1 || offsetWidth_ > 8 || refWidth_ < 1 || refWidth_ > 8) return false;
    if (objectCount_ == 0 || top >= objectCount_) return false;
    if (tableOffset_ < kBinaryMagic.size() || tableOffset_ > objectsEnd_) return false;
    if (objectCount_ > (objectsEnd_ - tableOffset_) / offsetWidth_) return false;
    state_.assign(objectCount_, State::unvisited);
    depth_.assign(objectCount_, 0);
    expanded_.assign(objectCount_, 0);
    return visit(top) && expanded_[top] <= size_ && stringsAreText();
  }

 private:
  enum class State : unsigned char { unvisited, active, done };
  struct Container {
    uint64_t firstRef = 0;  // byte position of the first reference
    uint64_t refCount = 0;  // references to follow (a dictionary has keys and values)
  };
  struct Frame {
    uint64_t object;
    Container container;
    uint64_t next;
  };

  bool offsetOf(uint64_t object, uint64_t& offset) const {
    offset = readBigEndian(data_ + tableOffset_ + object * offsetWidth_, offsetWidth_);
    return offset >= kBinaryMagic.size() && offset < tableOffset_;
  }

  // The element or character count of the object at `offset` (in its marker, or in the
  // integer after it) and where its content starts; false when malformed.
  bool countOf(uint64_t offset, uint64_t& count, uint64_t& position) const {
    count = data_[offset] & 0x0f;
    position = offset + 1;
    if (count != 0x0f) return true;
    if (position >= tableOffset_) return false;
    unsigned char intMarker = data_[position];
    if ((intMarker >> 4) != 0x1 || (intMarker & 0x0f) > 3) return false;
    size_t width = size_t{1} << (intMarker & 0x0f);
    if (position + 1 + width > tableOffset_) return false;
    count = readBigEndian(data_ + position + 1, width);
    position += 1 + width;
    return true;
  }

  // Reads the container header at `object`; false when malformed. `isContainer`
  // tells whether the object has references at all.
  bool describe(uint64_t object, bool& isContainer, Container& container) const {
    uint64_t offset = 0;
    if (!offsetOf(object, offset)) return false;
    unsigned kind = data_[offset] >> 4;
    isContainer = kind == 0xA || kind == 0xC || kind == 0xD;
    if (!isContainer) return true;
    uint64_t count = 0;
    uint64_t position = 0;
    if (!countOf(offset, count, position)) return false;
    uint64_t refs = kind == 0xD ? count * 2 : count;
    if (count > tableOffset_ || refs > (tableOffset_ - position) / refWidth_) return false;
    container = Container{position, refs};
    return true;
  }

  // Every string object (values and dictionary keys alike) must be text without NUL:
  // ASCII strings only bytes 0x01-0x7F, UTF-16 strings no U+0000 and no unpaired
  // surrogate. libplist keeps a string's length beside its C text and copies shared
  // strings with strdup, so a NUL inside one leaves a copy shorter than its length
  // (readers then run past it), and it turns broken UTF-16 into broken UTF-8.
  bool stringsAreText() const {
    for (uint64_t object = 0; object < objectCount_; ++object) {
      uint64_t offset = 0;
      if (!offsetOf(object, offset)) continue;  // unreachable: visit() refuses reachable ones
      unsigned kind = data_[offset] >> 4;
      if (kind != 0x5 && kind != 0x6) continue;
      uint64_t count = 0;
      uint64_t position = 0;
      if (!countOf(offset, count, position)) return false;
      const uint64_t unit = kind == 0x6 ? 2 : 1;
      if (count > (tableOffset_ - position) / unit) return false;
      const unsigned char* text = data_ + position;
      if (kind == 0x5) {
        for (uint64_t i = 0; i < count; ++i) {
          if (text[i] == 0 || text[i] > 0x7f) return false;
        }
        continue;
      }
      for (uint64_t i = 0; i < count; ++i) {
        const uint64_t unitValue = readBigEndian(text + 2 * i, 2);
        if (unitValue == 0 || (unitValue >= 0xDC00 && unitValue <= 0xDFFF)) return false;
        if (unitValue >= 0xD800 && unitValue <= 0xDBFF) {
          if (i + 1 == count) return false;
          const uint64_t low = readBigEndian(text + 2 * (i + 1), 2);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          ++i;
        }
      }
    }
    return true;
  }

  // Iterative post-order walk with memoised depth and expanded size per object.
  bool visit(uint64_t top) {
    std::vector<Frame> stack;
    // Marks a leaf done, or pushes a container; false when malformed or too deep.
    auto enter = [&](uint64_t object) -> bool {
      bool isContainer = false;
      Container container;
      if (!describe(object, isContainer, container)) return false;
      expanded_[object] = 1;
      if (!isContainer) {
        state_[object] = State::done;
        return true;
      }
      if (stack.size() >= PropertyList::kMaxNestingDepth) return false;
      state_[object] = State::active;
      depth_[object] = 1;
      stack.push_back(Frame{object, container, 0});
      return true;
    };
    if (!enter(top)) return false;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.container.refCount) {
        uint64_t finished = frame.object;
        state_[finished] = State::done;
        stack.pop_back();
        if (!stack.empty() && !absorb(stack, finished)) return false;
        continue;
      }
      uint64_t child = readBigEndian(data_ + frame.container.firstRef + frame.next * refWidth_, refWidth_);
      ++frame.next;
      if (child >= objectCount_) return false;
      if (state_[child] == State::active) return false;  // a cycle
      if (state_[child] == State::done) {
        if (!absorb(stack, child)) return false;
        continue;
      }
      if (!enter(child)) return false;
      if (state_[child] == State::done && !absorb(stack, child)) return false;
    }
    return true;
  }

  // Folds a finished child into the container on top of the stack. A shared child
  // may be reached again at a deeper level than where it was first measured, so the
  // nesting limit is checked here against the level it is reached from.
  bool absorb(const std::vector<Frame>& stack, uint64_t child) {
    if (stack.size() + depth_[child] > PropertyList::kMaxNestingDepth) return false;
    uint64_t parent = stack.back().object;
    depth_[parent] = std::max(depth_[parent], depth_[child] + 1);
    // Saturate just above the input size: anything larger is refused anyway.
    uint64_t cap = static_cast<uint64_t>(size_) + 1;
    uint64_t sum = expanded_[parent] + expanded_[child];
    expanded_[parent] = sum > cap ? cap : sum;
    return true;
  }

  const unsigned char* data_;
  size_t size_;
  size_t offsetWidth_ = 0;
  size_t refWidth_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t tableOffset_ = 0;
  uint64_t objectsEnd_ = 0;
  std::vector<State> state_;
  std::vector<uint64_t> depth_;
  std::vector<uint64_t> expanded_;
};

// Children of an array or dictionary value, one at a time, without recursion.
class ChildCursor {
 public:
  explicit ChildCursor(plist_t node) : node_(node) {
    if (plist_get_node_type(node) == PLIST_DICT) plist_dict_new_iter(node, &dictIter_);
  }
  ~ChildCursor() { std::free(dictIter_); }
  ChildCursor(ChildCursor&& other) noexcept
      : node_(other.node_), index_(other.index_), dictIter_(std::exchange(other.dictIter_, nullptr)) {}
  ChildCursor(const ChildCursor&) = delete;
  ChildCursor& operator=(const ChildCursor&) = delete;
  ChildCursor& operator=(ChildCursor&&) = delete;

  plist_t node() const { return node_; }
  plist_t next() {
    plist_t child = nullptr;
    if (dictIter_ != nullptr) {
      plist_dict_next_item(node_, dictIter_, nullptr, &child);
    } else if (plist_get_node_type(node_) == PLIST_ARRAY && index_ < plist_array_get_size(node_)) {
      child = plist_array_get_item(node_, index_++);
    }
    return child;
  }

 private:
  plist_t node_;
  uint32_t index_ = 0;
  plist_dict_iter dictIter_ = nullptr;
};

bool isContainer(plist_t node) {
  plist_type type = plist_get_node_type(node);
  return type == PLIST_ARRAY || type == PLIST_DICT;
}

bool withinNestingLimit(plist_t root) {
  if (!isContainer(root)) return true;
  std::vector<ChildCursor> stack;
  stack.emplace_back(root);
  while (!stack.empty()) {
    plist_t child = stack.back().next();
    if (child == nullptr) {
      stack.pop_back();
    } else if (isContainer(child)) {
      if (stack.size() >= PropertyList::kMaxNestingDepth) return false;
      stack.emplace_back(child);
    }
  }
  return true;
}

// Frees a tree leaf by leaf. plist_free recurses once per level, so a tree that is
// too deep to keep is also too deep to hand to it.
void freeWithoutRecursion(plist_t root) {
  plist_t node = root;
  while (node != nullptr) {
    plist_t child = nullptr;
    if (plist_get_node_type(node) == PLIST_ARRAY) {
      uint32_t count = plist_array_get_size(node);
      if (count > 0) child = plist_array_get_item(node, count - 1);
    } else if (plist_get_node_type(node) == PLIST_DICT) {
      child = ChildCursor(node).next();
    }
    if (child != nullptr) {
      node = child;
      continue;
    }
    plist_t parent = node == root ? nullptr : plist_get_parent(node);
    if (parent == nullptr) {
      plist_free(node);
      return;
    }
    if (plist_get_node_type(parent) == PLIST_ARRAY) {
      plist_array_item_remove(node);
    } else {
      char* key = nullptr;
      plist_dict_get_item_key(node, &key);
      MallocText owned(key);
      if (key == nullptr) std::abort();
      plist_dict_remove_item(parent, key);
    }
    node = parent;
  }
}

// libplist keeps every integer as 64 bits plus a hidden width: 8 for signed values,
// 16 for unsigned values above INT64_MAX. Only the writer exposes the width, so a
// value with the top bit set is told apart by how the writer spells it.
bool isNegativeInteger(plist_t node) {
  uint64_t raw = 0;
  plist_get_uint_val(node, &raw);
  if (raw <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (xml == nullptr) std::abort();
  std::string_view text(xml, length);
  bool negative = text.find("<integer>-") != std::string_view::npos;
  plist_to_xml_free(xml);
  return negative;
}

// The date's double as written by the binary writer: a one-object list whose
// object is the 0x33 marker and eight big-endian bytes.
double exactDate(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  if (bytes == nullptr) std::abort();
  std::string_view binary(bytes, length);
  uint64_t bits = 0;
  size_t object = kBinaryMagic.size();
  if (binary.size() < object + 9 || static_cast<unsigned char>(binary[object]) != 0x33) std::abort();
  bits = readBigEndian(reinterpret_cast<const unsigned char*>(binary.data()) + object + 1, 8);
  plist_to_bin_free(bytes);
  double value = 0;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Every string and dictionary key of a parsed tree is UTF-8 text without NUL whose
// stored length is its real length, no dictionary names a key twice, and every date
// is one PropertyList::date could make. A binary dictionary may list a key twice:
// get() would find the first, the XML form keep the last. The XML reader takes string bytes as they come (and &#xD800; as an encoded
// surrogate), and libplist's writers and readers then disagree about such text, so
// what one format keeps the other drops. A date outside 32-bit seconds comes back
// from plist_get_date_val as garbage, and the XML writer silently leaves out one
// beyond about 10^15 seconds (or not finite).
bool holdsOnlySoundValues(plist_t root) {
  std::vector<plist_t> pending{root};
  while (!pending.empty()) {
    plist_t node = pending.back();
    pending.pop_back();
    switch (plist_get_node_type(node)) {
      case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (text == nullptr) break;
        // strnlen stops at the terminator of a shortened copy, so this never reads past it.
        if (strnlen(text, length) != length || !isValidUtf8(std::string_view(text, length))) return false;
        break;
      }
      case PLIST_DATE: {
        const double seconds = exactDate(node);
        if (!std::isfinite(seconds) || std::floor(seconds) < std::numeric_limits<int32_t>::min() ||
            std::floor(seconds) > std::numeric_limits<int32_t>::max()) {
          return false;
        }
        break;
      }
      case PLIST_ARRAY:
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i) pending.push_back(plist_array_get_item(node, i));
        break;
      case PLIST_DICT: {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        MallocText ownedIter(static_cast<char*>(static_cast<void*>(iter)));
        std::set<std::string, std::less<>> keys;
        for (;;) {
          char* key = nullptr;
          plist_t value = nullptr;
          plist_dict_next_item(node, iter, &key, &value);
          MallocText ownedKey(key);
          if (value == nullptr) break;
          if (key == nullptr || !isValidUtf8(key) || !keys.emplace(key).second) return false;
          pending.push_back(value);
        }
        break;
      }
      default:
        break;
    }
  }
  return true;
}

void requireText(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) std::abort();
}

}  // namespace

// ---- PlistNode ----

PlistType PlistNode::type() const {
  if (node_ == nullptr) return PlistType::invalid;
  switch (plist_get_node_type(asPlist(node_))) {
    case PLIST_BOOLEAN: return PlistType::boolean;
    case PLIST_UINT: return PlistType::integer;
    case PLIST_REAL: return PlistType::real;
    case PLIST_STRING: return PlistType::string;
    case PLIST_ARRAY: return PlistType::array;
    case PLIST_DICT: return PlistType::dictionary;
    case PLIST_DATE: return PlistType::date;
    case PLIST_DATA: return PlistType::data;
    case PLIST_UID: return PlistType::uid;
    default: return PlistType::invalid;
  }
}

std::optional<std::string> PlistNode::asString() const {
  if (type() != PlistType::string) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(asPlist(node_), &length);
  if (text == nullptr) return std::string();
  return std::string(text, length);
}

std::optional<int64_t> PlistNode::asInteger() const {
  if (type() != PlistType::integer) return std::nullopt;
  uint64_t raw = 0;
  plist_get_uint_val(asPlist(node_), &raw);
  if (raw <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return static_cast<int64_t>(raw);
  if (!isNegativeInteger(asPlist(node_))) return std::nullopt;
  return static_cast<int64_t>(raw);
}

std::optional<uint64_t> PlistNode::asUnsigned() const {
  if (type() != PlistType::integer) return std::nullopt;
  uint64_t raw = 0;
  plist_get_uint_val(asPlist(node_), &raw);
  if (isNegativeInteger(asPlist(node_))) return std::nullopt;
  return raw;
}

std::optional<double> PlistNode::asReal() const {
  if (type() != PlistType::real) return std::nullopt;
  double value = 0;
  plist_get_real_val(asPlist(node_), &value);
  return value;
}

std::optional<bool> PlistNode::asBool() const {
  if (type() != PlistType::boolean) return std::nullopt;
  uint8_t value = 0;
  plist_get_bool_val(asPlist(node_), &value);
  return value != 0;
}

std::optional<std::string> PlistNode::asData() const {
  if (type() != PlistType::data) return std::nullopt;
  uint64_t length = 0;
  const char* bytes = plist_get_data_ptr(asPlist(node_), &length);
  if (bytes == nullptr) return std::string();
  return std::string(bytes, length);
}

std::optional<double> PlistNode::asDate() const {
  if (type() != PlistType::date) return std::nullopt;
  int32_t seconds = 0;
  int32_t microseconds = 0;
  plist_get_date_val(asPlist(node_), &seconds, &microseconds);
  if (microseconds == 0 || seconds > 0) {
    return static_cast<double>(seconds) + static_cast<double>(microseconds) / kMicrosecondsPerSecond;
  }
  // libplist keeps the date as a double but hands out whole seconds truncated toward
  // zero plus the magnitude of the fraction, which loses the sign between -1 and 0.
  // The binary writer stores the double itself.
  return exactDate(asPlist(node_));
}

std::optional<uint64_t> PlistNode::asUid() const {
  if (type() != PlistType::uid) return std::nullopt;
  uint64_t value = 0;
  plist_get_uid_val(asPlist(node_), &value);
  return value;
}

PlistNode PlistNode::get(std::string_view key) const {
  if (type() != PlistType::dictionary) return PlistNode();
  // A key with NUL would be cut short by the C interface and find a different entry.
  if (key.find('\0') != std::string_view::npos) return PlistNode();
  std::string text(key);
  return PlistNode(plist_dict_get_item(asPlist(node_), text.c_str()));
}

size_t PlistNode::size() const {
  switch (type()) {
    case PlistType::array: return plist_array_get_size(asPlist(node_));
    case PlistType::dictionary: return plist_dict_get_size(asPlist(node_));
    default: return 0;
  }
}

PlistNode PlistNode::at(size_t index) const {
  if (type() != PlistType::array || index >= size()) return PlistNode();
  return PlistNode(plist_array_get_item(asPlist(node_), static_cast<uint32_t>(index)));
}

std::vector<PlistNode> PlistNode::elements() const {
  std::vector<PlistNode> result;
  if (type() != PlistType::array) return result;
  ChildCursor cursor(asPlist(node_));
  while (plist_t child = cursor.next()) result.push_back(PlistNode(child));
  return result;
}

std::vector<std::pair<std::string, PlistNode>> PlistNode::entries() const {
  std::vector<std::pair<std::string, PlistNode>> result;
  if (type() != PlistType::dictionary) return result;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(asPlist(node_), &iter);
  MallocText ownedIter(static_cast<char*>(static_cast<void*>(iter)));
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(asPlist(node_), iter, &key, &value);
    MallocText ownedKey(key);
    if (value == nullptr) break;
    result.emplace_back(key != nullptr ? std::string(key) : std::string(), PlistNode(value));
  }
  return result;
}

// ---- PropertyList ----

PropertyList::PropertyList(void* root) : root_(root) {
  if (root_ == nullptr) std::abort();  // libplist only fails to allocate when memory is gone
}

PropertyList& PropertyList::operator=(PropertyList&& other) noexcept {
  if (this != &other) {
    if (root_ != nullptr) plist_free(asPlist(root_));
    root_ = std::exchange(other.root_, nullptr);
  }
  return *this;
}

PropertyList::~PropertyList() {
  if (root_ != nullptr) plist_free(asPlist(root_));
}

std::optional<PropertyList> PropertyList::parse(std::string_view bytes, size_t maxBytes) {
  if (bytes.empty() || bytes.size() > maxBytes) return std::nullopt;
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  if (bytes.substr(0, kBinaryMagic.size()) == kBinaryMagic && !BinaryGraphCheck(bytes).run()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (root == nullptr) return std::nullopt;
  if (!withinNestingLimit(root)) {
    freeWithoutRecursion(root);
    return std::nullopt;
  }
  PropertyList list(root);
  if (!holdsOnlySoundValues(root)) return std::nullopt;
  return list;
}

PropertyList PropertyList::dictionary() { return PropertyList(plist_new_dict()); }
PropertyList PropertyList::array() { return PropertyList(plist_new_array()); }

PropertyList PropertyList::string(std::string_view text) {
  requireText(text);
  return PropertyList(plist_new_string(std::string(text).c_str()));
}

PropertyList PropertyList::integer(int64_t value) {
  // Created values carry the signed width, so negative numbers are written as such.
  return PropertyList(plist_new_uint(static_cast<uint64_t>(value)));
}

PropertyList PropertyList::unsignedInteger(uint64_t value) {
  if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return PropertyList(plist_new_uint(value));
  }
  // The constructor would mark this value signed; the XML reader marks it unsigned.
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><integer>" +
                    std::to_string(value) + "</integer></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
  return PropertyList(node);
}

PropertyList PropertyList::real(double value) { return PropertyList(plist_new_real(value)); }
PropertyList PropertyList::boolean(bool value) { return PropertyList(plist_new_bool(value ? 1 : 0)); }

PropertyList PropertyList::data(std::string_view bytes) {
  return PropertyList(plist_new_data(bytes.data(), bytes.size()));
}

std::optional<PropertyList> PropertyList::date(double secondsSinceReferenceDate) {
  if (!std::isfinite(secondsSinceReferenceDate)) return std::nullopt;
  double whole = std::floor(secondsSinceReferenceDate);
  double micro = std::round((secondsSinceReferenceDate - whole) * kMicrosecondsPerSecond);
  if (micro >= kMicrosecondsPerSecond) {
    whole += 1;
    micro = 0;
  }
  if (whole < std::numeric_limits<int32_t>::min() || whole > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return PropertyList(plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>(micro)));
}

PropertyList PropertyList::copy() const {
  // libplist copies (and frees and writes) recursively: parsed trees are within
  // kMaxNestingDepth, built ones are as deep as their builder made them.
  return PropertyList(plist_copy(asPlist(root_)));
}

PropertyList& PropertyList::set(std::string_view key, PropertyList value) {
  if (root().type() != PlistType::dictionary || value.root_ == nullptr) std::abort();
  requireText(key);
  plist_dict_set_item(asPlist(root_), std::string(key).c_str(), asPlist(value.release()));
  return *this;
}

PropertyList& PropertyList::append(PropertyList value) {
  if (root().type() != PlistType::array || value.root_ == nullptr) std::abort();
  plist_array_append_item(asPlist(root_), asPlist(value.release()));
  return *this;
}

std::string PropertyList::serialize(Format format) const {
  if (root_ == nullptr) std::abort();  // serializing a moved-from list
  char* bytes = nullptr;
  uint32_t length = 0;
  if (format == Format::xml) {
    plist_to_xml(asPlist(root_), &bytes, &length);
  } else {
    plist_to_bin(asPlist(root_), &bytes, &length);
  }
  if (bytes == nullptr) std::abort();
  std::string result(bytes, length);
  if (format == Format::xml) {
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin_free(bytes);
  }
  return result;
}

}  // namespace tidewarden::platform
