// Property lists: XML and binary round trips, typed reads, and hostile documents.
#include "platform/property_list.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tidewarden::platform {
namespace {

constexpr size_t kLimit = 4 << 20;

// Writes a binary property list whose objects are short ASCII strings or arrays of
// references, so tests can shape object graphs that no writer would produce.
struct BinaryObject {
  std::vector<uint32_t> refs;  // array elements
  std::string text;            // used when `array` is false
  bool array = true;
  std::string raw;             // when set, the object's bytes exactly (marker included)
};

void putBigEndian(std::string& out, uint64_t value, int width) {
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

std::string writeBinary(const std::vector<BinaryObject>& objects, uint32_t top = 0) {
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (const BinaryObject& object : objects) {
    offsets.push_back(out.size());
    if (!object.raw.empty()) {
      out += object.raw;
      continue;
    }
    if (!object.array) {
      out.push_back(static_cast<char>(0x50 | object.text.size()));
      out += object.text;
      continue;
    }
    if (object.refs.size() < 15) {
      out.push_back(static_cast<char>(0xA0 | object.refs.size()));
    } else {
      out += "\xAF\x12";
      putBigEndian(out, object.refs.size(), 4);
    }
    for (uint32_t ref : object.refs) putBigEndian(out, ref, 4);
  }
  uint64_t table = out.size();
  for (uint64_t offset : offsets) putBigEndian(out, offset, 4);
  out.append(6, '\0');
  out += "\x04\x04";  // offset and reference widths
  putBigEndian(out, objects.size(), 8);
  putBigEndian(out, top, 8);
  putBigEndian(out, table, 8);
  return out;
}

// Object i is an array holding object i+1; the last is an empty array.
std::vector<BinaryObject> chain(size_t length) {
  std::vector<BinaryObject> objects(length);
  for (size_t i = 0; i + 1 < length; ++i) objects[i].refs = {static_cast<uint32_t>(i + 1)};
  return objects;
}

std::string nestedXmlArrays(size_t depth) {
  std::string arrays;
  for (size_t i = 0; i < depth; ++i) arrays += "<array>";
  for (size_t i = 0; i < depth; ++i) arrays += "</array>";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + arrays + "</plist>";
}

PropertyList sample() {
  PropertyList inner = PropertyList::array();
  inner.append(PropertyList::string("first")).append(PropertyList::integer(2));
  PropertyList nested = PropertyList::dictionary();
  nested.set("deep", PropertyList::boolean(false));
  PropertyList list = PropertyList::dictionary();
  list.set("name", PropertyList::string("Install macOS Sequoia \xc3\x91"))
      .set("min", PropertyList::integer(std::numeric_limits<int64_t>::min()))
      .set("max", PropertyList::integer(std::numeric_limits<int64_t>::max()))
      .set("huge", PropertyList::unsignedInteger(std::numeric_limits<uint64_t>::max()))
      .set("ratio", PropertyList::real(1.5))
      .set("yes", PropertyList::boolean(true))
      .set("blob", PropertyList::data(std::string("\0\x01\xff", 3)))
      .set("when", *PropertyList::date(10))
      .set("items", std::move(inner))
      .set("nested", std::move(nested));
  return list;
}

void expectSample(const PlistNode& root) {
  ASSERT_EQ(root.type(), PlistType::dictionary);
  std::vector<std::string> keys;
  for (const auto& [key, value] : root.entries()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "min", "max", "huge", "ratio", "yes", "blob", "when", "items",
                                            "nested"}));
  EXPECT_EQ(root.get("name").asString(), "Install macOS Sequoia \xc3\x91");
  EXPECT_EQ(root.get("min").asInteger(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(root.get("min").asUnsigned(), std::nullopt);
  EXPECT_EQ(root.get("max").asInteger(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(root.get("max").asUnsigned(), static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(root.get("huge").asUnsigned(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(root.get("huge").asInteger(), std::nullopt);
  EXPECT_EQ(root.get("ratio").asReal(), 1.5);
  EXPECT_EQ(root.get("yes").asBool(), true);
  EXPECT_EQ(root.get("blob").asData(), std::string("\0\x01\xff", 3));
  EXPECT_EQ(root.get("when").asDate(), 10.0);
  ASSERT_EQ(root.get("items").size(), 2u);
  EXPECT_EQ(root.get("items").at(0).asString(), "first");
  EXPECT_EQ(root.get("items").at(1).asInteger(), 2);
  EXPECT_EQ(root.get("nested").get("deep").asBool(), false);
  // Accessors never convert, and missing nodes chain.
  EXPECT_EQ(root.get("min").asString(), std::nullopt);
  EXPECT_EQ(root.get("name").asInteger(), std::nullopt);
  EXPECT_EQ(root.get("ratio").asInteger(), std::nullopt);
  EXPECT_EQ(root.get("yes").asInteger(), std::nullopt);
  EXPECT_EQ(root.get("blob").asString(), std::nullopt);
  EXPECT_FALSE(root.get("items").get("first"));
  EXPECT_FALSE(root.get("items").at(2));
  EXPECT_FALSE(root.get("name").at(0));
  EXPECT_EQ(root.get("missing").type(), PlistType::invalid);
  EXPECT_EQ(root.get("missing").get("x").at(3).asString(), std::nullopt);
  EXPECT_EQ(root.get("missing").size(), 0u);
  EXPECT_TRUE(root.get("missing").entries().empty());
  // A key with NUL cannot reach a different entry through the C interface.
  EXPECT_FALSE(root.get(std::string_view("name\0x", 6)));
  EXPECT_TRUE(root.get("name"));
}

TEST(PropertyListTest, XmlAndBinaryRoundTripsKeepEveryTypeWithoutConversions) {
  EXPECT_EQ(sample().toBinary().substr(0, 8), "bplist00");
  for (const std::string& bytes : {sample().toXml(), sample().toBinary()}) {
    auto parsed = PropertyList::parse(bytes, kLimit);
    ASSERT_TRUE(parsed);
    expectSample(parsed->root());
    auto copy = parsed->copy();
    parsed.reset();
    expectSample(copy.root());
  }
}

TEST(PropertyListTest, ReadsAToolStyleDocument) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>images</key><array><dict>
	<key>system-entities</key><array>
		<dict><key>dev-entry</key><string>/dev/disk4</string></dict>
		<dict><key>dev-entry</key><string>/dev/disk4s1</string><key>mount-point</key><string>/Volumes/Shared Support</string></dict>
	</array>
</dict></array></dict></plist>
)";
  auto parsed = PropertyList::parse(xml, kLimit);
  ASSERT_TRUE(parsed);
  auto entities = parsed->root().get("images").at(0).get("system-entities").elements();
  ASSERT_EQ(entities.size(), 2u);
  EXPECT_EQ(entities[1].get("mount-point").asString(), "/Volumes/Shared Support");
  EXPECT_FALSE(entities[0].get("mount-point"));
}

TEST(PropertyListTest, OversizedOrGarbageInputGivesNoValue) {
  std::string binary = sample().toBinary();
  std::string xml = sample().toXml();
  EXPECT_FALSE(PropertyList::parse(xml, xml.size() - 1));
  EXPECT_TRUE(PropertyList::parse(xml, xml.size()));
  for (const std::string& bad :
       {std::string(), std::string("not a plist"), std::string("bplist00"), "bplist00" + std::string(40, '\xff'),
        binary.substr(0, binary.size() - 1), binary.substr(0, binary.size() / 2), xml.substr(0, xml.size() / 2),
        std::string("<plist><dict><key>a</key></plist>")}) {
    EXPECT_FALSE(PropertyList::parse(bad, kLimit)) << bad.substr(0, 40);
  }
  // Every single-byte corruption of a valid binary list is survived.
  for (size_t i = 0; i < binary.size(); ++i) {
    for (int value : {0x00, 0x0f, 0x7f, 0xaf, 0xdf, 0xff}) {
      std::string corrupt = binary;
      corrupt[i] = static_cast<char>(value);
      (void)PropertyList::parse(corrupt, kLimit);
    }
  }
}

TEST(PropertyListTest, NestingDepthIsBoundedForXmlAndBinary) {
  constexpr size_t kMax = PropertyList::kMaxNestingDepth;
  EXPECT_TRUE(PropertyList::parse(nestedXmlArrays(kMax), kLimit));
  auto ok = PropertyList::parse(writeBinary(chain(kMax)), kLimit);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->root().at(0).at(0).type(), PlistType::array);
  // 200000 is deep enough to overflow the stack of a recursive free or copy.
  for (size_t depth : {kMax + 1, size_t{200000}}) {
    EXPECT_FALSE(PropertyList::parse(nestedXmlArrays(depth), kLimit)) << depth;
    EXPECT_FALSE(PropertyList::parse(writeBinary(chain(depth)), kLimit)) << depth;
  }
}

TEST(PropertyListTest, DepthThroughSharedObjectsIsMeasuredWhereTheyAreReachedAndRefusedQuickly) {
  // Segment k is a chain of `length` arrays whose last one holds the head of segment
  // k-1; the top array lists the heads from the first segment on, so every segment but
  // the first is finished by reaching an already measured one. The deepest path is
  // segments * length levels: refusing it needs the measured depth of what is reached.
  struct Shape {
    uint32_t segments, length;
    bool accepted;
  };
  for (const Shape& shape : {Shape{1000, 250, false}, Shape{2, 150, false}, Shape{2, 100, true}}) {
    const uint32_t length = shape.length;
    std::vector<BinaryObject> objects(1 + shape.segments * length);
    for (uint32_t k = 0; k < shape.segments; ++k) {
      uint32_t head = 1 + k * length;
      objects[0].refs.push_back(head);
      for (uint32_t i = 0; i + 1 < length; ++i) objects[head + i].refs = {head + i + 1};
      if (k > 0) objects[head + length - 1].refs = {head - length};
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PropertyList::parse(writeBinary(objects), kLimit).has_value(), shape.accepted) << shape.length;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

TEST(PropertyListTest, ReferenceCyclesAndExpansionBombsAreRefused) {
  EXPECT_FALSE(PropertyList::parse(writeBinary({{{0}}}), kLimit));
  EXPECT_FALSE(PropertyList::parse(writeBinary({{{1}}, {{2}}, {{1}}}), kLimit));

  // 40 levels, each array holding the next one twice: 2^40 values from ~700 bytes.
  std::vector<BinaryObject> bomb(40);
  for (uint32_t i = 0; i + 1 < bomb.size(); ++i) bomb[i].refs = {i + 1, i + 1};
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PropertyList::parse(writeBinary(bomb), kLimit));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // Sharing one leaf many times, as real writers do for repeated strings, is fine.
  auto shared = PropertyList::parse(writeBinary({{std::vector<uint32_t>(1000, 1)}, {{}, "same", false}}), kLimit);
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->root().size(), 1000u);
  EXPECT_EQ(shared->root().at(999).asString(), "same");
}

TEST(PropertyListTest, StringsAndKeysMustBeUtf8TextWithoutNul) {
  const auto xml = [](const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>";
  };
  auto text = PropertyList::parse(xml("<dict><key>caf\xc3\xa9</key><string>\xf0\x9f\x9a\x80 &#xE9;</string></dict>"), kLimit);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->root().get("caf\xc3\xa9").asString(), "\xf0\x9f\x9a\x80 \xc3\xa9");
  for (const std::string& bad : {xml("<string>Install \xff\xfe</string>"), xml("<string>&#xD800;</string>"),
                                 xml("<string>\xc0\xaf</string>"), xml("<dict><key>\xed\xa0\x80</key><true/></dict>")}) {
    EXPECT_FALSE(PropertyList::parse(bad, kLimit)) << bad;
  }

  // A string shared by two references is copied by libplist with strdup, which stops at
  // a NUL while the copy keeps the full length: reading it ran past the copy.
  auto shared = PropertyList::parse(writeBinary({{{1, 1}}, {{}, "abc", false}}), kLimit);
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->root().at(1).asString(), "abc");
  EXPECT_FALSE(PropertyList::parse(writeBinary({{{1, 1}}, {{}, std::string("a\0c", 3), false}}), kLimit));
  // ASCII strings hold ASCII only; UTF-16 strings no U+0000 and no unpaired surrogate.
  EXPECT_FALSE(PropertyList::parse(writeBinary({{{1}}, {{}, "caf\xe9", false}}), kLimit));
  const auto utf16 = [](const std::string& units) {
    return writeBinary({{{1}}, {{}, {}, false, static_cast<char>(0x60 | units.size() / 2) + units}});
  };
  auto pair = PropertyList::parse(utf16(std::string("\x00\xe9\xd8\x3d\xde\x80", 6)), kLimit);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->root().at(0).asString(), "\xc3\xa9\xf0\x9f\x9a\x80");
  for (const std::string& units : {std::string("\xd8\x3d", 2), std::string("\xde\x80\xd8\x3d", 4),
                                   std::string("\x00\x41\x00\x00", 4)}) {
    EXPECT_FALSE(PropertyList::parse(utf16(units), kLimit));
  }
}

TEST(PropertyListTest, ABinaryDictionaryNamingAKeyTwiceIsRefused) {
  // Object 0 is a dictionary of two entries whose keys are objects 1 and `secondKey`.
  const auto dictionary = [](uint32_t secondKey) {
    std::string entries = "\xD2";
    for (uint32_t ref : {1u, secondKey, 3u, 4u}) putBigEndian(entries, ref, 4);
    return writeBinary({{{}, {}, false, entries}, {{}, "same", false}, {{}, "other", false}, {{}, "1", false},
                        {{}, "2", false}});
  };
  auto distinct = PropertyList::parse(dictionary(2), kLimit);
  ASSERT_TRUE(distinct);
  EXPECT_EQ(distinct->root().get("other").asString(), "2");
  EXPECT_FALSE(PropertyList::parse(dictionary(1), kLimit));
  // The XML reader keeps the last of duplicate keys itself.
  auto xml = PropertyList::parse("<plist><dict><key>same</key><string>1</string><key>same</key><string>2</string>"
                                 "</dict></plist>", kLimit);
  ASSERT_TRUE(xml);
  EXPECT_EQ(xml->root().size(), 1u);
  EXPECT_EQ(xml->root().get("same").asString(), "2");
}

TEST(PropertyListTest, UidsReadInBinaryAndBecomeCfUidDictionariesInXml) {
  auto binary = PropertyList::parse(writeBinary({{{1}}, {{}, {}, false, "\x80\x2a"}}), kLimit);
  ASSERT_TRUE(binary);
  const PlistNode uid = binary->root().at(0);
  EXPECT_EQ(uid.type(), PlistType::uid);
  EXPECT_EQ(uid.asUid(), 42u);
  EXPECT_EQ(uid.asInteger(), std::nullopt);
  EXPECT_EQ(binary->root().asUid(), std::nullopt);
  auto xml = PropertyList::parse(binary->toXml(), kLimit);
  ASSERT_TRUE(xml);
  EXPECT_EQ(xml->root().at(0).get("CF$UID").asInteger(), 42);
}

TEST(PropertyListTest, DatesKeepFractionsInBinaryWholeSecondsInXmlAndStayInRange) {
  for (double when : {10.5, -86400.25, -0.25, 0.25, -1.0, 0.0, 757382400.125}) {
    PropertyList list = PropertyList::array();
    list.append(*PropertyList::date(when));
    auto binary = PropertyList::parse(list.toBinary(), kLimit);
    auto xml = PropertyList::parse(list.toXml(), kLimit);
    ASSERT_TRUE(binary && xml);
    EXPECT_EQ(binary->root().at(0).asDate(), when);
    EXPECT_EQ(xml->root().at(0).asDate(), std::trunc(when));
  }
  // Read dates hold the same range: beyond it plist_get_date_val gave garbage and the
  // XML writer left the date out.
  const auto binaryDate = [](double when) {
    uint64_t bits = 0;
    std::memcpy(&bits, &when, sizeof bits);
    std::string object = "\x33";
    putBigEndian(object, bits, 8);
    return PropertyList::parse(writeBinary({{{1}}, {{}, {}, false, object}}), kLimit);
  };
  for (double inRange : {2147483647.5, -2147483648.0, 0.125}) {
    auto read = binaryDate(inRange);
    ASSERT_TRUE(read) << inRange;
    EXPECT_EQ(read->root().at(0).asDate(), inRange);
  }
  for (double outOfRange : {2147483648.0, -2147483648.5, 1e15, std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_FALSE(binaryDate(outOfRange)) << outOfRange;
  }
  EXPECT_FALSE(PropertyList::date(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(PropertyList::date(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(PropertyList::date(1e12));
  auto rounded = PropertyList::date(1.9999999);
  ASSERT_TRUE(rounded);
  EXPECT_EQ(rounded->root().asDate(), 2.0);
}

}  // namespace
}  // namespace tidewarden::platform
