// Writes the binary seeds of the fuzz corpora (frames, binary property lists, signature
// blocks, certificates) with the project's own encoders and signer. Not run by the build:
//   build-test/fuzz/replay/tidewarden-fuzz-seeds fuzz/corpus
// rewrites those files (their content is deterministic) and leaves every other seed alone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_keys.h"
#include "fuzz/replay/smc_seeds.h"
#include "platform/code_signer.h"
#include "platform/code_signing_format.h"
#include "platform/property_list.h"
#include "support/temp_dir.h"
#include "wire/wire_protocol.h"

namespace {

namespace fs = std::filesystem;
namespace codesign = tidewarden::platform::codesign;
namespace wire = tidewarden::wire;
using tidewarden::platform::PropertyList;

fs::path gOut;

void write(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(gOut / target);
  std::ofstream out(gOut / target / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
    std::exit(1);
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string call(std::uint64_t id, const std::string& selector, const std::string& argument = {}) {
  return wire::encodeCall({id, selector, argument});
}

// A frame_reader input: the cut sizes (each 1..256) in front of the stream.
std::string cutStream(const std::vector<unsigned>& cuts, const std::string& stream) {
  std::string input(1, static_cast<char>(cuts.size()));
  for (unsigned cut : cuts) input.push_back(static_cast<char>(cut - 1));
  return input + stream;
}

void frameSeeds() {
  const std::string ping = call(1, "pingWithReply:");
  const std::string fan = call(2, "fanControl:withReply:", R"({"action":"inspect","mode":"system"})");
  write("frame_reader", "two-calls-cut-3-and-7", cutStream({3, 7}, ping + fan));
  write("frame_reader", "call-and-reply-whole", cutStream({}, ping + wire::encodeReply({1, "ready"})));
  write("frame_reader", "one-byte-pieces", cutStream({1}, fan + ping));
  write("frame_reader", "last-frame-cut-short", cutStream({5}, ping + fan.substr(0, fan.size() - 3)));
  std::string tooLarge = ping + std::string("\x01\x00\x00\x01", 4) + "rest";
  write("frame_reader", "too-large-after-a-frame", cutStream({2, 250}, tooLarge));
  // Bodies decodeCall refuses: empty, shorter than the header, a zero or overlong
  // selector length, a selector with a space.
  std::string bad = std::string(4, '\0');
  bad += std::string("\x00\x00\x00\x05", 4) + "short";
  bad += std::string("\x00\x00\x00\x0a", 4) + std::string(8, '\x07') + std::string(2, '\0');
  bad += std::string("\x00\x00\x00\x0c", 4) + std::string(8, '\x07') + std::string("\x00\x09", 2) + "ab";
  bad += std::string("\x00\x00\x00\x0e", 4) + std::string(8, '\x07') + std::string("\x00\x04", 2) + "a bc";
  write("frame_reader", "malformed-call-bodies", cutStream({4, 9, 13}, bad));
  write("frame_reader", "prefix-at-the-limit", cutStream({}, std::string("\x01\x00\x00\x00", 4) + "partial"));
}

PropertyList sampleDictionary() {
  PropertyList root = PropertyList::dictionary();
  root.set("CFBundleExecutable", PropertyList::string("Install macOS"));
  root.set("CFBundleShortVersionString", PropertyList::string("15.1"));
  root.set("size", PropertyList::integer(-42));
  root.set("huge", PropertyList::unsignedInteger(18446744073709551615ull));
  root.set("ratio", PropertyList::real(0.1));
  root.set("flag", PropertyList::boolean(true));
  root.set("blob", PropertyList::data(std::string("\x00\x01\xfe\xff", 4)));
  root.set("when", *PropertyList::date(-0.25));
  PropertyList list = PropertyList::array();
  list.append(PropertyList::string("disk4s1"));
  PropertyList inner = PropertyList::dictionary();
  inner.set("mount-point", PropertyList::string("/Volumes/Install macOS"));
  list.append(std::move(inner));
  root.set("system-entities", std::move(list));
  return root;
}

// A binary list whose one array refers to itself: a cycle the reader must refuse.
std::string cyclicBinary() {
  std::string bytes = "bplist00";
  bytes += std::string("\xa1\x00", 2);  // object 0: array of one, referring to object 0
  const std::size_t table = bytes.size();
  bytes.push_back(8);  // offset of object 0
  std::string trailer(6, '\0');
  trailer += std::string("\x01\x01", 2);  // offset and reference widths
  trailer += std::string(7, '\0') + "\x01";  // one object
  trailer += std::string(8, '\0');           // top object 0
  trailer += std::string(7, '\0') + static_cast<char>(table);
  return bytes + trailer;
}

// A binary list in which each of 20 arrays refers twice to the next: 2^20 values once
// expanded from a few hundred bytes.
std::string expandingBinary() {
  constexpr int kLevels = 20;
  std::string bytes = "bplist00";
  std::vector<std::size_t> offsets;
  for (int i = 0; i < kLevels; ++i) {
    offsets.push_back(bytes.size());
    bytes.push_back('\xa2');
    bytes.push_back(static_cast<char>(i + 1));
    bytes.push_back(static_cast<char>(i + 1));
  }
  offsets.push_back(bytes.size());
  bytes.push_back('\x09');  // true
  const std::size_t table = bytes.size();
  for (std::size_t offset : offsets) bytes.push_back(static_cast<char>(offset));
  std::string trailer(6, '\0');
  trailer += std::string("\x01\x01", 2);
  trailer += std::string(7, '\0') + static_cast<char>(offsets.size());
  trailer += std::string(8, '\0');
  trailer += std::string(7, '\0') + static_cast<char>(table);
  return bytes + trailer;
}

void propertyListSeeds() {
  const PropertyList sample = sampleDictionary();
  write("property_list", "every-type.bplist", sample.toBinary());
  write("property_list", "every-type.xml", sample.toXml());
  PropertyList deep = PropertyList::array();
  for (int i = 0; i < 40; ++i) {
    PropertyList outer = PropertyList::array();
    outer.append(std::move(deep));
    deep = std::move(outer);
  }
  write("property_list", "nested-arrays.bplist", deep.toBinary());
  write("property_list", "self-referencing-array.bplist", cyclicBinary());
  write("property_list", "shared-references-expanding.bplist", expandingBinary());
  std::string truncated = sample.toBinary();
  write("property_list", "truncated-trailer.bplist", truncated.substr(0, truncated.size() - 5));
}

// The signature signCode appends to kSignedContent (blob only, without the trailer).
std::string signatureOf(const std::optional<tidewarden::platform::TeamIdentity>& team) {
  tidewarden::testing::TempDir directory;
  const std::string path = directory.path() + "/code";
  {
    std::ofstream out(path, std::ios::binary);
    out << tidewarden::fuzz::kSignedContent;
  }
  tidewarden::platform::signCode(path, {"com.ambergrove.Tidewarden.fuzz", team, {}});
  const std::string file = readFile(path);
  const std::size_t start = tidewarden::fuzz::kSignedContent.size();
  return file.substr(start, file.size() - start - codesign::kTrailerBytes);
}

void signatureSeeds() {
  const tidewarden::platform::TeamIdentity team = tidewarden::fuzz::fuzzTeam();
  const std::string teamSigned = signatureOf(team);
  const std::string adhoc = signatureOf(std::nullopt);
  write("signature_block", "team-signed-blob", teamSigned);
  write("signature_block", "adhoc-blob", adhoc);
  const auto blob = codesign::SignatureBlob::decode(teamSigned);
  if (!blob) std::abort();
  write("signature_block", "file-directory", blob->directory);
  // The same blob with its trailer, and with a trailer announcing more than the file holds.
  write("signature_block", "blob-with-own-trailer", teamSigned + codesign::fileTrailer(teamSigned.size()));
  write("signature_block", "trailer-announcing-too-much", teamSigned + codesign::fileTrailer(1u << 19));
  codesign::SignatureBlob cut = *blob;
  cut.signature.pop_back();
  write("signature_block", "signature-one-byte-short", cut.encode());

  codesign::CodeDirectory bundle;
  bundle.format = codesign::CodeFormat::bundle;
  bundle.identifier = "com.ambergrove.Tidewarden.bundle";
  bundle.mainExecutable = "Tool";
  bundle.omitPatterns = {"Contents/Resources/*.lproj"};
  codesign::SealedEntry contents{codesign::EntryKind::directory, "Contents", {}, {}};
  codesign::SealedEntry tool{codesign::EntryKind::file, "Contents/MacOS/Tool", codesign::sha256("tool"), {}};
  codesign::SealedEntry link{codesign::EntryKind::symlink, "Contents/link", {}, "MacOS/Tool"};
  bundle.entries = {contents, tool, link};
  write("signature_block", "bundle-directory", bundle.encode());
  write("signature_block", "bundle-directory-in-adhoc-blob", codesign::SignatureBlob{bundle.encode(), {}, {}}.encode());

  write("team_certificate", "fuzz-team", team.certificate.encode());
  const tidewarden::platform::SigningKey anchor = tidewarden::fuzz::loadKey(tidewarden::fuzz::kAnchorKeyPem);
  codesign::TeamCertificate other = tidewarden::platform::issueTeamCertificate(
      anchor, "apple", "OTHERTEAM", team.key.publicKey(), codesign::CertificateClass::appleSoftware);
  write("team_certificate", "other-anchor-name", other.encode());
  // As certificates were written before they stated a class ("TWCERT01").
  codesign::TeamCertificate classless = team.certificate;
  classless.withoutClass = true;
  classless.anchorSignature = anchor.sign(classless.signedPart());
  write("team_certificate", "classless-fuzz-team", classless.encode());
  std::string tampered = team.certificate.encode();
  tampered[tampered.size() - 1] ^= 1;
  write("team_certificate", "anchor-signature-tampered", tampered);
  write("team_certificate", "one-byte-short", team.certificate.encode().substr(0, tampered.size() - 1));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  gOut = argv[1];
  frameSeeds();
  propertyListSeeds();
  signatureSeeds();
  tidewarden::fuzz::writeSmcReplySeeds(gOut);
  return 0;
}
