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

#include "support/plist_builder.h"

namespace tidewarden::platform {
namespace {

using testing::BinaryObject;
using testing::writeBinaryPlist;

constexpr size_t kLimit = 4 << 20;

std::string xmlPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>";
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
  EXPECT_EQ(root.get("max").asUnsigned(), static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(root.get("huge").asUnsigned(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(root.get("huge").asInteger(), std::nullopt);
  EXPECT_EQ(root.get("ratio").asReal(), 1.5);
  EXPECT_EQ(root.get("yes").asBool(), true);
  EXPECT_EQ(root.get("blob").asData(), std::string("\0\x01\xff", 3));
  EXPECT_EQ(root.get("when").asDate(), 10.0);
  EXPECT_EQ(root.get("items").at(1).asInteger(), 2);
  EXPECT_EQ(root.get("nested").get("deep").asBool(), false);
  // Missing nodes chain. (That accessors never convert is checked on every node the fuzz target reads.)
  EXPECT_FALSE(root.get("items").get("first"));
  EXPECT_FALSE(root.get("items").at(2));
  EXPECT_EQ(root.get("missing").get("x").at(3).asString(), std::nullopt);
  EXPECT_TRUE(root.get("missing").entries().empty() && root.get("missing").elements().empty());
  // A key with NUL cannot reach a different entry through the C interface.
  EXPECT_FALSE(root.get(std::string_view("name\0x", 6)));
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

// Segment k is a chain of `length` arrays whose last one holds the head of segment k-1;
// the top array lists every head, so each segment but the first is finished by reaching
// an already measured one. The deepest path is segments * length levels: refusing it
// needs the measured depth of what is reached, not only of what is walked.
std::string sharedSegments(uint32_t segments, uint32_t length) {
  std::vector<BinaryObject> objects(1 + segments * length);
  for (uint32_t k = 0; k < segments; ++k) {
    const uint32_t head = 1 + k * length;
    objects[0].refs.push_back(head);
    for (uint32_t i = 0; i + 1 < length; ++i) objects[head + i].refs = {head + i + 1};
    if (k > 0) objects[head + length - 1].refs = {head - length};
  }
  return writeBinaryPlist(objects);
}

std::string nestedXmlArrays(size_t depth) {
  std::string arrays;
  for (size_t i = 0; i < depth; ++i) arrays += "<array>";
  for (size_t i = 0; i < depth; ++i) arrays += "</array>";
  return xmlPlist(arrays);
}

// Depth, cycles and expansion are measured before libplist sees the document: its reader
// recurses per level (200000 overflowed the stack) and copies every shared reference.
TEST(PropertyListTest, DeepCyclicOrExpandingGraphsAreRefusedQuickly) {
  constexpr uint32_t kMax = PropertyList::kMaxNestingDepth;
  struct Case {
    const char* name;
    std::string bytes;
    bool accepted;
  };
  const Case cases[] = {
      {"xml at the depth bound", nestedXmlArrays(kMax), true},
      {"binary at the depth bound", testing::arrayChainPlist(kMax), true},
      {"xml one deeper", nestedXmlArrays(kMax + 1), false},
      {"binary one deeper", testing::arrayChainPlist(kMax + 1), false},
      {"xml 200000 deep", nestedXmlArrays(200000), false},
      {"binary 200000 deep", testing::arrayChainPlist(200000), false},
      {"1000 shared segments of 250", sharedSegments(1000, 250), false},
      {"2 shared segments of 150", sharedSegments(2, 150), false},
      {"2 shared segments of 100", sharedSegments(2, 100), true},
      {"self reference", writeBinaryPlist({{{0}}}), false},
      {"cycle", writeBinaryPlist({{{1}}, {{2}}, {{1}}}), false},
      {"2^40 values from 40 arrays", testing::arrayChainPlist(40, 2), false},
      // Sharing one leaf many times, as real writers do for repeated strings, is fine.
      {"one string shared 1000 times", writeBinaryPlist({{std::vector<uint32_t>(1000, 1)}, {{}, "same", false}}), true},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PropertyList::parse(c.bytes, kLimit).has_value(), c.accepted) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.name;
  }
  auto shared = PropertyList::parse(cases[12].bytes, kLimit);
  EXPECT_EQ(shared->root().at(999).asString(), "same");
}

// Strings and keys are UTF-8 text without NUL in both formats; a binary dictionary may not
// name a key twice (the XML reader keeps the last of duplicates itself).
TEST(PropertyListTest, OnlyUnambiguousTextIsRead) {
  const auto utf16 = [](const std::string& units) {
    return writeBinaryPlist({{{1}}, {{}, {}, false, static_cast<char>(0x60 | units.size() / 2) + units}});
  };
  // Object 0 is a dictionary of two entries whose keys are objects 1 and `secondKey`.
  const auto dictionary = [](uint32_t secondKey) {
    std::string entries = "\xD2";
    for (uint32_t ref : {1u, secondKey, 3u, 4u}) testing::putBigEndian(entries, ref, 4);
    return writeBinaryPlist({{{}, {}, false, entries}, {{}, "same", false}, {{}, "other", false}, {{}, "1", false},
                             {{}, "2", false}});
  };
  const std::string caf = "caf\xc3\xa9";
  struct Case {
    std::string bytes;
    std::vector<std::string> path;  // keys, or "#N" for array element N
    std::optional<std::string> read;  // nothing: the document is refused
  };
  const Case cases[] = {
      {xmlPlist("<dict><key>" + caf + "</key><string>\xf0\x9f\x9a\x80 &#xE9;</string></dict>"), {caf},
       "\xf0\x9f\x9a\x80 \xc3\xa9"},
      {xmlPlist("<string>Install \xff\xfe</string>"), {}, std::nullopt},
      {xmlPlist("<string>&#xD800;</string>"), {}, std::nullopt},
      {xmlPlist("<string>\xc0\xaf</string>"), {}, std::nullopt},
      {xmlPlist("<dict><key>\xed\xa0\x80</key><true/></dict>"), {}, std::nullopt},
      // A string shared by two references is copied by libplist with strdup, which stops at
      // a NUL while the copy keeps the full length: reading it ran past the copy.
      {writeBinaryPlist({{{1, 1}}, {{}, "abc", false}}), {"#1"}, "abc"},
      {writeBinaryPlist({{{1, 1}}, {{}, std::string("a\0c", 3), false}}), {}, std::nullopt},
      // ASCII strings hold ASCII only; UTF-16 strings no U+0000 and no unpaired surrogate.
      {writeBinaryPlist({{{1}}, {{}, "caf\xe9", false}}), {}, std::nullopt},
      {utf16(std::string("\x00\xe9\xd8\x3d\xde\x80", 6)), {"#0"}, "\xc3\xa9\xf0\x9f\x9a\x80"},
      {utf16(std::string("\xd8\x3d", 2)), {}, std::nullopt},
      {utf16(std::string("\xde\x80\xd8\x3d", 4)), {}, std::nullopt},
      {utf16(std::string("\x00\x41\x00\x00", 4)), {}, std::nullopt},
      {dictionary(2), {"other"}, "2"},
      {dictionary(1), {}, std::nullopt},
      {"<plist><dict><key>same</key><string>1</string><key>same</key><string>2</string></dict></plist>", {"same"}, "2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 120));
    auto parsed = PropertyList::parse(c.bytes, kLimit);
    ASSERT_EQ(parsed.has_value(), c.read.has_value());
    if (!parsed) continue;
    PlistNode node = parsed->root();
    for (const std::string& step : c.path) node = step[0] == '#' ? node.at(std::stoul(step.substr(1))) : node.get(step);
    EXPECT_EQ(node.asString(), c.read);
  }
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
    testing::putBigEndian(object, bits, 8);
    return PropertyList::parse(writeBinaryPlist({{{1}}, {{}, {}, false, object}}), kLimit);
  };
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  for (const auto& [when, accepted] : std::initializer_list<std::pair<double, bool>>{
           {2147483647.5, true}, {-2147483648.0, true}, {2147483648.0, false}, {-2147483648.5, false},
           {1e15, false}, {inf, false}, {nan, false}}) {
    EXPECT_EQ(binaryDate(when).has_value(), accepted) << when;
  }
  EXPECT_EQ(binaryDate(2147483647.5)->root().at(0).asDate(), 2147483647.5);
  for (double refused : {inf, nan, 1e12}) EXPECT_FALSE(PropertyList::date(refused)) << refused;
  EXPECT_EQ(PropertyList::date(1.9999999)->root().asDate(), 2.0);
}

}  // namespace
}  // namespace tidewarden::platform
