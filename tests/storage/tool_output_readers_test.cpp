// lsof field records and hdiutil's attached-image list: what reads, and each refusal text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/property_list.h"
#include "storage/tool_output_readers.h"

namespace tidewarden::storage {
namespace {

using platform::PropertyList;

std::string reasonOf(std::string_view output) { return readLsofFieldRecords(output).unknownReason.value_or("read"); }

TEST(LsofFieldRecords, RecordsReadInOrderWithEveryDescriptorKind) {
  const LsofFieldReading reading =
      readLsofFieldRecords("p611\nfcwd\nn/private/tmp\nf12\nn/private/tmp/a b\np7\nftxt\nn/bin/x\nfrtd\nn/\n"
                           "fmem\nn/usr/lib/dyld\nf0\nn/dev/null");
  ASSERT_FALSE(reading.unknownReason) << *reading.unknownReason;
  const std::vector<LsofOpenFile> expected{{611, "cwd", "/private/tmp"}, {611, "12", "/private/tmp/a b"},
                                           {7, "txt", "/bin/x"},         {7, "rtd", "/"},
                                           {7, "mem", "/usr/lib/dyld"},  {7, "0", "/dev/null"}};
  EXPECT_EQ(reading.files, expected);
  // Empty output is no records, not a refusal.
  EXPECT_FALSE(readLsofFieldRecords("").unknownReason);
}

TEST(LsofFieldRecords, EachMalformedShapeNamesItsReason) {
  // Each reason with the outputs that give it, beside the good form ("read").
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"read", {"p5\nf1\nn/a\np6\nf2\nn/b\n"}},
      {kLsofProcessMalformedMessage,
       {"p0\nf1\nn/a\n", "p\nf1\nn/a\n", "p+5\nf1\nn/a\n", "p 5\nf1\nn/a\n", "p99999999999\nf1\nn/a\n"}},
      // A descriptor before any process, a kind outside the accepted four, a negative or empty one.
      {kLsofDescriptorIncompleteMessage, {"f1\nn/a\n", "p5\nfDEL\nn/a\n", "p5\nf-1\nn/a\n", "p5\nf\nn/a\n"}},
      // A name without its descriptor, a descriptor left without a name, a process set
      // without a file (lsof lists none such).
      {kLsofRecordsIncompleteMessage,
       {"p5\nn/a\n", "n/a\n", "p5\nf1\nf2\nn/a\n", "p5\nf1\np6\nf2\nn/a\n", "p5\nf1\nn/a\nn/b\n", "p5\nf1\n",
        "p9\np10\nf1\nn/a\n", "p5\nf1\nn/a\np6\n"}},
      // An empty line, a field lsof was not asked for, a warning.
      {kLsofUnsupportedRecordMessage,
       {"p5\nf1\nn/a\n\n", "p5\nf1\nn/a\ntREG\n", "lsof: WARNING: can't stat() nfs file system\n"}},
      {kLsofUndecodableMessage, {"p5\nf1\nn/a\xff\n"}},
  };
  for (const auto& [reason, outputs] : cases) {
    for (const std::string& output : outputs) EXPECT_EQ(reasonOf(output), reason) << output;
  }
}

std::string imageList(const std::string& imagesXml) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>images</key>" + imagesXml +
         "</dict></plist>";
}

std::string image(const std::string& path, const std::string& entities) {
  return "<dict><key>image-path</key><string>" + path + "</string><key>system-entities</key><array>" + entities +
         "</array></dict>";
}

std::string entity(const std::string& device, const std::string& mountXml = "") {
  return "<dict><key>dev-entry</key><string>" + device + "</string>" + mountXml + "</dict>";
}

std::string mountAt(const std::string& path) { return "<key>mount-point</key><string>" + path + "</string>"; }

TEST(AttachedImageList, PathsAndMountsComeOutCanonical) {
  const AttachedImagesAnswer answer = readAttachedImageList(imageList(
      "<array>" +
      image("/System/Volumes/Data/Users/Shared/Payload.dmg",
            entity("/dev/disk5") + entity("/dev/disk5s1", mountAt("/var/tmp/WS/Mount/"))) +
      image("/private/tmp/b.dmg", entity("", mountAt(""))) + "</array>"));
  ASSERT_FALSE(answer.unknownReason) << *answer.unknownReason;
  const std::vector<PreparationAttachedImage> expected{
      {"/Users/Shared/Payload.dmg", {"/private/var/tmp/WS/Mount"}, {"/dev/disk5", "/dev/disk5s1"}},
      {"/private/tmp/b.dmg", {}, {}}};
  EXPECT_EQ(answer.images, expected);
  EXPECT_TRUE(readAttachedImageList(imageList("<array/>")).images.empty());
  EXPECT_FALSE(readAttachedImageList(imageList("<array/>")).unknownReason);
}

TEST(AttachedImageList, MissingKeysWrongTypesAndMalformedPathsAreUnknown) {
  const std::string unsupported = kAttachedImagesUnsupportedMessage;
  const std::vector<std::pair<std::string, std::string>> cases{
      {"not a property list", unsupported},
      {PropertyList::array().toXml(), unsupported},
      {imageList("<dict/>"), unsupported},
      {imageList("<array><string>/a.dmg</string></array>"), unsupported},
      {imageList("<array><dict><key>system-entities</key><array/></dict></array>"), unsupported},
      {imageList("<array><dict><key>image-path</key><string>/a.dmg</string></dict></array>"), unsupported},
      {imageList("<array>" + image("/a.dmg", "<string>/dev/disk4</string>") + "</array>"), unsupported},
      {imageList("<array>" + image("/a.dmg", "<dict/>") + "</array>"), unsupported},
      {imageList("<array>" + image("/a.dmg", entity("/dev/disk4", "<key>mount-point</key><true/>")) + "</array>"),
       unsupported},
      {imageList("<array>" + image("a.dmg", "") + "</array>"), "Malformed preparation path: a.dmg"},
      {imageList("<array>" + image("/a.dmg", entity("/dev/disk4s1", mountAt("/Volumes/A/../B"))) + "</array>"),
       "Malformed preparation path: /Volumes/A/../B"},
  };
  for (const auto& [plist, reason] : cases) {
    const AttachedImagesAnswer answer = readAttachedImageList(plist);
    EXPECT_EQ(answer.unknownReason.value_or("read"), reason) << plist;
    EXPECT_TRUE(answer.images.empty());
  }
}

}  // namespace
}  // namespace tidewarden::storage
