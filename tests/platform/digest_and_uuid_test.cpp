// SHA-256 against published vectors, and UUID generation and strict parsing.
#include <string>

#include <gtest/gtest.h>

#include "platform/sha256.h"
#include "platform/uuid.h"

namespace tidewarden::platform {
namespace {

std::string hexOf(const Sha256::Digest& digest) { return toLowerHex(digest.data(), digest.size()); }

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256Test, KnownVectorsAndTheLowerHexSpelling) {
  EXPECT_EQ(hexOf(Sha256::of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexOf(Sha256::of("abc")), kAbcDigest);
  EXPECT_EQ(hexOf(Sha256::of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hexOf(Sha256::of(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  const unsigned char bytes[] = {0x00, 0x0f, 0x10, 0xab, 0xff};
  EXPECT_EQ(toLowerHex(bytes, sizeof bytes), "000f10abff");
}

TEST(Sha256Test, PiecewiseEqualsWholeAndFinishStartsOver) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message.push_back(static_cast<char>(i * 31));
  Sha256 hash;
  size_t pos = 0;
  for (size_t step : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{300}}) {
    hash.update(message.data() + pos, step);
    pos += step;
  }
  hash.update(message.data() + pos, message.size() - pos);
  EXPECT_EQ(hash.finish(), Sha256::of(message));
  // The object is ready for the next message.
  hash.update("abc");
  EXPECT_EQ(hexOf(hash.finish()), kAbcDigest);
  EXPECT_EQ(hash.finish(), Sha256::of(""));
}

TEST(UuidTest, MadeUuidsAreRandomUpperCaseVersion4) {
  const std::string a = makeUuidString(), b = makeUuidString();
  EXPECT_NE(a, b);
  for (const std::string& text : {a, b}) {
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
    EXPECT_EQ(parseUuidString(text), text);  // also proves upper case: parsing gives upper case
  }
}

TEST(UuidTest, ParsingAcceptsEitherCaseAndRefusesEverythingElse) {
  EXPECT_EQ(parseUuidString("3f2504e0-4f89-11d3-9a0c-0305e82c3301"), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  EXPECT_EQ(parseUuidString("3F2504E0-4F89-11d3-9A0C-0305e82C3301"), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  using namespace std::string_view_literals;
  for (std::string_view bad :
       {""sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C33011"sv,
        "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"sv, "3F2504E04F8911D39A0C0305E82C3301"sv,
        "3F2504E0-4F8911D3-9A0C-0305E82C3301-"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330G"sv,
        " 3F2504E0-4F89-11D3-9A0C-0305E82C330"sv, "3F2504E0_4F89_11D3_9A0C_0305E82C3301"sv,
        "../../../../../../../../../etc/passwd"sv, "3F2504E0-4F89-11D3-9A0C-0305E82C330\0"sv}) {
    EXPECT_FALSE(parseUuidString(bad)) << bad;
  }
}

}  // namespace
}  // namespace tidewarden::platform
