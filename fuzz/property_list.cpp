// Fuzz target: the bounded property-list reader, XML and binary. A list that parses is
// written in both formats and read back; the two trees must be equal to the first by a
// canonical dump written here (the XML form keeps whole seconds of a date only, neither
// the sign of a zero real nor the payload of a NaN, and writes a UID as a CF$UID
// dictionary). Every accessor gives a value only for its own type, and the caller's
// byte limit holds.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/property_list.h"

namespace {

using tidewarden::fuzz::printable;
using tidewarden::platform::PlistNode;
using tidewarden::platform::PlistType;
using tidewarden::platform::PropertyList;

constexpr std::size_t kMaxBytes = 1 << 20;

std::string bits(double value) {
  std::uint64_t raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  return std::to_string(raw);
}

// Exactly one accessor answers, the one of the node's type (integers: asInteger and/or
// asUnsigned, by sign and size).
void checkAccessors(const PlistNode& node) {
  const PlistType type = node.type();
  FUZZ_CHECK(node.asString().has_value() == (type == PlistType::string), "asString answers for another type");
  FUZZ_CHECK(node.asReal().has_value() == (type == PlistType::real), "asReal answers for another type");
  FUZZ_CHECK(node.asBool().has_value() == (type == PlistType::boolean), "asBool answers for another type");
  FUZZ_CHECK(node.asData().has_value() == (type == PlistType::data), "asData answers for another type");
  FUZZ_CHECK(node.asDate().has_value() == (type == PlistType::date), "asDate answers for another type");
  FUZZ_CHECK(node.asUid().has_value() == (type == PlistType::uid), "asUid answers for another type");
  const auto signedValue = node.asInteger();
  const auto unsignedValue = node.asUnsigned();
  if (type != PlistType::integer) {
    FUZZ_CHECK(!signedValue && !unsignedValue, "an integer accessor answers for another type");
  } else {
    FUZZ_CHECK(signedValue || unsignedValue, "an integer that neither accessor reads");
    if (signedValue && unsignedValue) {
      FUZZ_CHECK(*signedValue >= 0 && static_cast<std::uint64_t>(*signedValue) == *unsignedValue,
                 "the two integer accessors disagree");
    }
  }
  if (type != PlistType::array && type != PlistType::dictionary) {
    FUZZ_CHECK(node.size() == 0 && !node.at(0) && !node.get("a"), "a leaf has children");
  }
}

// One canonical line per value; `xmlForm` drops what the XML form cannot hold (fractions
// of a second, the sign of zero, NaN payloads) and spells a UID the way it does.
void dump(const PlistNode& node, bool xmlForm, std::string& out) {
  checkAccessors(node);
  switch (node.type()) {
    case PlistType::boolean:
      out += *node.asBool() ? "true" : "false";
      break;
    case PlistType::integer:
      out += node.asInteger() ? "int " + std::to_string(*node.asInteger()) : "uint " + std::to_string(*node.asUnsigned());
      break;
    case PlistType::real: {
      // The XML writer spells negative zero "0.0" and every NaN "nan".
      const double real = *node.asReal();
      if (xmlForm && std::isnan(real)) {
        out += "real nan";
      } else {
        out += "real " + bits(xmlForm && real == 0 ? 0.0 : real);
      }
      break;
    }
    case PlistType::string: {
      const std::string text = *node.asString();
      out += "string " + std::to_string(text.size()) + ":" + text;
      break;
    }
    case PlistType::data: {
      const std::string bytes = *node.asData();
      out += "data " + std::to_string(bytes.size()) + ":" + bytes;
      break;
    }
    case PlistType::date: {
      const double date = *node.asDate();
      out += "date " + bits(xmlForm ? std::trunc(date) + 0.0 : date);  // + 0.0: no negative zero
      break;
    }
    case PlistType::uid: {
      // The XML form writes a UID as the dictionary {"CF$UID": <integer>}.
      const std::uint64_t uid = *node.asUid();
      const std::string number = uid <= static_cast<std::uint64_t>(INT64_MAX) ? "int " + std::to_string(uid)
                                                                                : "uint " + std::to_string(uid);
      out += xmlForm ? "dict 1 {key 6:CF$UID=" + number + ",}" : "uid " + std::to_string(uid);
      break;
    }
    case PlistType::array: {
      const auto elements = node.elements();
      FUZZ_CHECK(elements.size() == node.size(), "an array's elements and size disagree");
      out += "array " + std::to_string(elements.size()) + " [";
      for (std::size_t i = 0; i < elements.size(); ++i) {
        FUZZ_CHECK(node.at(i).type() == elements[i].type(), "at() and elements() disagree");
        dump(elements[i], xmlForm, out);
        out += ",";
      }
      out += "]";
      break;
    }
    case PlistType::dictionary: {
      const auto entries = node.entries();
      FUZZ_CHECK(entries.size() == node.size(), "a dictionary's entries and size disagree");
      out += "dict " + std::to_string(entries.size()) + " {";
      for (const auto& [key, value] : entries) {
        FUZZ_CHECK(node.get(key).valid(), "an entry cannot be found by its key: " + printable(key));
        out += "key " + std::to_string(key.size()) + ":" + key + "=";
        dump(value, xmlForm, out);
        out += ",";
      }
      out += "}";
      break;
    }
    case PlistType::invalid:
      FUZZ_CHECK(false, "a parsed tree holds an invalid node");
  }
}

std::string canonical(const PropertyList& list, bool xmlForm) {
  std::string out;
  dump(list.root(), xmlForm, out);
  return out;
}

void checkRoundTrip(const PropertyList& list, PropertyList::Format format, std::string_view input) {
  const bool xml = format == PropertyList::Format::xml;
  const std::string written = list.serialize(format);
  const auto reread = PropertyList::parse(written, written.size());
  FUZZ_CHECK(reread, std::string("a written ") + (xml ? "XML" : "binary") + " list does not parse: " +
                         printable(written) + "\n  from: " + printable(input));
  const std::string before = canonical(list, xml);
  const std::string after = canonical(*reread, xml);
  if (before != after) {
    std::size_t at = 0;
    while (at < before.size() && at < after.size() && before[at] == after[at]) ++at;
    const std::size_t from = at < 40 ? 0 : at - 40;
    FUZZ_CHECK(false, std::string("a ") + (xml ? "XML" : "binary") + " round trip changed the list: " +
                          printable(input) + "\n  before: ..." + printable(before.substr(from)) +
                          "\n  after:  ..." + printable(after.substr(from)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const auto list = PropertyList::parse(bytes, kMaxBytes);
  if (!list) return 0;
  FUZZ_CHECK(!PropertyList::parse(bytes, bytes.size() - 1), "the caller's byte limit was not applied");
  FUZZ_CHECK(canonical(list->copy(), false) == canonical(*list, false), "a copy differs from its original");
  checkRoundTrip(*list, PropertyList::Format::binary, bytes);
  checkRoundTrip(*list, PropertyList::Format::xml, bytes);
  return 0;
}
