// Every wire and record type through the one generic coder: a value with every field set
// survives a round trip with every listed key on the wire. How a missing, null or mistyped
// key is refused is the coder's own rule, tested once in json_codec_test.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fan/fan_messages.h"
#include "installers/installers_messages.h"
#include "materialize/materialize_messages.h"
#include "quarantine/quarantine_messages.h"
#include "rescue/rescue_messages.h"
#include "storage/storage_messages.h"

namespace tidewarden {
namespace {

namespace json = platform::json;

template <class T>
constexpr bool isOptional = json::detail::isOptional<T>;
template <class T>
inline constexpr bool isVector = false;
template <class T>
inline constexpr bool isVector<std::vector<T>> = true;
template <class T>
inline constexpr bool isMap = false;
template <class K, class T>
inline constexpr bool isMap<std::map<K, T>> = true;

// A value of T with every field set and no field at its default, so that a field the
// coder dropped or read back into another member shows as a difference.
template <class T>
T sample(int seed) {
  if constexpr (json::ListedRecord<T>) {
    T record{};
    const auto fill = [&](const auto& field) {
      using Member = std::remove_cvref_t<decltype(record.*field.member)>;
      record.*field.member = sample<Member>(++seed);
    };
    std::apply([&](const auto&... fields) { (fill(fields), ...); }, T::jsonFields());
    return record;
  } else if constexpr (isOptional<T>) {
    return sample<typename T::value_type>(seed);
  } else if constexpr (isVector<T>) {
    return {sample<typename T::value_type>(seed), sample<typename T::value_type>(seed + 1)};
  } else if constexpr (isMap<T>) {
    return {{sample<typename T::key_type>(seed), sample<typename T::mapped_type>(seed + 1)}};
  } else if constexpr (json::JsonEnum<T>) {
    const auto& values = jsonEnumValues(T{});
    return values[static_cast<std::size_t>(seed) % values.size()].first;
  } else if constexpr (std::is_same_v<T, bool>) {
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "value " + std::to_string(seed);
  } else if constexpr (std::is_same_v<T, json::Date>) {
    return json::Date{786000000.5 + seed};
  } else if constexpr (std::is_same_v<T, json::Data>) {
    return json::Data{std::string("\0\xff", 2) + std::to_string(seed)};
  } else if constexpr (std::is_floating_point_v<T>) {
    return 0.25 + seed;
  } else {
    static_assert(std::is_integral_v<T>, "a field type this test cannot fill");
    return static_cast<T>(1000 + seed);
  }
}

template <class T>
class MessageCoding : public ::testing::Test {};

using AllMessages = ::testing::Types<
    fan::FanControlRequest, fan::FanControlFan, fan::FanControlStatus, fan::FanControlReply,
    storage::InterruptedInstallerDownload, storage::InterruptedInstallerScanResponse,
    storage::InterruptedInstallerRemovalRequest, storage::InterruptedInstallerRemovalResponse,
    storage::InstallerPreparationCleanupReport, storage::InstallerPreparationPreflightRequest,
    storage::InstallerPreparationPreflightResponse, storage::InstallerPreparationSafetyResponse,
    installers::PreparedInstallerImage, installers::PreparedInstallerItem,
    installers::PreparedInstallerScanRequest, installers::PreparedInstallerScanResponse,
    installers::PreparedInstallerDeleteRequest, installers::PreparedInstallerDeleteResponse,
    installers::PreparedInstallerImageReleaseRequest, installers::PreparedInstallerImageReleaseResponse,
    materialize::InstallerPayloadIdentity, materialize::MaterializeInstallAssistantRequest,
    materialize::MaterializeInstallAssistantResponse, rescue::RescuePhysicalIdentity,
    rescue::RescuePartitionIdentity, rescue::RescueDestination, rescue::RescueCreationProgress,
    rescue::RescueDriveStartRequest, rescue::RescueDriveStartResponse, rescue::RescueDriveOperationRequest,
    rescue::RescueDriveStatusResponse, quarantine::MoveRecord, quarantine::QuarantineManifest,
    quarantine::BackgroundQuarantineRequest, quarantine::BackgroundRestoreRequest,
    quarantine::PrivilegedActionResponse>;
TYPED_TEST_SUITE(MessageCoding, AllMessages);

TYPED_TEST(MessageCoding, AFullValueRoundTripsThroughTheWireText) {
  const TypeParam full = sample<TypeParam>(0);
  const nlohmann::json encoded = json::encodeValue(full);
  const auto listed = [&](const auto& field) { EXPECT_TRUE(encoded.contains(field.key)) << field.key; };
  std::apply([&](const auto&... fields) { (listed(fields), ...); }, TypeParam::jsonFields());
  EXPECT_EQ(encoded.size(), std::tuple_size_v<decltype(TypeParam::jsonFields())>);
  const std::optional<std::string> text = json::encode(encoded);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(json::decodeDocument<TypeParam>(*text), full);
}

}  // namespace
}  // namespace tidewarden
