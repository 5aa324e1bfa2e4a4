// Runtime stamp: capture of changing and odd files, strict parsing, round trip.
#include "helper/helper_runtime_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tidewarden::helper {
namespace {

using Kind = CaptureError::Kind;
const std::string kDigest(64, 'a');

class RuntimeStampCapture : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = dir.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string sized(const std::string& name, off_t size) {
    std::string path = write(name, "");
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
  }
  static Kind failureOf(const std::string& path, const std::function<void()>& afterEachRead = {}) {
    try {
      HelperRuntimeStamp::capture(path, afterEachRead);
    } catch (const CaptureError& error) {
      return error.kind();
    }
    ADD_FAILURE() << "capture of " << path << " succeeded";
    return Kind::unavailable;
  }
  testing::TempDir dir;
};

TEST_F(RuntimeStampCapture, HashesTheFileAndRecordsItsIdentity) {
  const auto path = write("helper", "abc");
  const auto stamp = HelperRuntimeStamp::capture(path);
  EXPECT_EQ(stamp.digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(stamp.device, st.st_dev);
  EXPECT_EQ(stamp.inode, st.st_ino);
  EXPECT_EQ(HelperRuntimeStamp::parse(stamp.text()), stamp);
}

TEST_F(RuntimeStampCapture, SizeLimitsAreInclusiveOfSixtyFourMebibytes) {
  EXPECT_EQ(failureOf(write("empty", "")), Kind::unavailable);
  const auto limit = sized("limit", HelperRuntimeStamp::kMaxFileBytes);
  EXPECT_EQ(HelperRuntimeStamp::capture(limit).digest,
            "3b6a07d0d404fab4e23b6d34bc6696a6a312dd92821332385e5af7c01c421351");
  EXPECT_EQ(failureOf(sized("over", HelperRuntimeStamp::kMaxFileBytes + 1)), Kind::unavailable);
}

TEST_F(RuntimeStampCapture, RefusesWhatIsNotOneRegularFile) {
  const auto target = write("helper", "abc");
  const std::string link = dir.path() + "/link";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(failureOf(link), Kind::unavailable);
  EXPECT_EQ(failureOf(dir.path()), Kind::unavailable);
  EXPECT_EQ(failureOf(dir.path() + "/missing"), Kind::unavailable);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(failureOf(fifo), Kind::unavailable);  // must not wait for a writer
}

// A file replaced, appended to, or rewritten in place with the same size (a new
// modification time) while it is read is reported as changed, not hashed.
TEST_F(RuntimeStampCapture, FileChangedDuringTheReadIsChanged) {
  const off_t size = 3 * HelperRuntimeStamp::kReadChunkBytes;
  const auto replacement = write("replacement", std::string(size, '\0'));
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> changes = {
      {"replaced", [&](const std::string& path) { ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0); }},
      {"appended", [](const std::string& path) { std::ofstream(path, std::ios::app) << "more"; }},
      {"rewritten",
       [](const std::string& path) {
         struct timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
         std::fstream(path, std::ios::in | std::ios::out | std::ios::binary) << "x";
         ::utimensat(AT_FDCWD, path.c_str(), later, 0);
       }},
  };
  for (const auto& [name, change] : changes) {
    const auto path = sized(name, size);
    bool changed = false;
    EXPECT_EQ(failureOf(path,
                        [&] {
                          if (!changed) change(path);
                          changed = true;
                        }),
              Kind::changed)
        << name;
  }
}

// Every text the parser accepts is what text() writes (the fuzz replay asserts it over a
// corpus of leading zeros, signs, overflows, missing, empty and extra pieces, a short digest,
// another version and an over-long text). Upper-case hex would format back unchanged, so
// its refusal is asserted here.
TEST(RuntimeStampParse, AcceptsOnlyTheCanonicalForm) {
  EXPECT_EQ(HelperRuntimeStamp::parse("helper-image-v1:" + kDigest + ":1:2"), (HelperRuntimeStamp{kDigest, 1, 2}));
  const HelperRuntimeStamp largest{std::string(64, '9'), 0, 18446744073709551615ull};
  EXPECT_EQ(HelperRuntimeStamp::parse(largest.text()), largest);
  std::string upper = kDigest;
  upper[10] = 'A';
  EXPECT_FALSE(HelperRuntimeStamp::parse("helper-image-v1:" + upper + ":1:2"));
}

}  // namespace
}  // namespace tidewarden::helper
