// Wire types of local installer review, deletion and image release.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::installers {

namespace json = platform::json;

// One attached image as the client shows it.
struct PreparedInstallerImage {
  std::string imagePath;         // the image file inside the bundle
  std::string deviceIdentifier;  // root virtual disk, "/dev/disk" + digits
  std::vector<std::string> mountPoints;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("imagePath", &PreparedInstallerImage::imagePath),
        json::field("deviceIdentifier", &PreparedInstallerImage::deviceIdentifier),
        json::field("mountPoints", &PreparedInstallerImage::mountPoints),
    };
  }

  friend bool operator==(const PreparedInstallerImage&, const PreparedInstallerImage&) = default;
};

// The review of one "Install macOS" application; `id` names its short-lived approval.
struct PreparedInstallerItem {
  std::string id;                              // review identifier, upper-case UUID
  std::string path;                            // "/Applications/" + bundle name
  std::string name;                            // bundle name without ".app"
  std::optional<std::int64_t> allocatedBytes;  // absent when the tree could not be measured
  std::optional<std::int64_t> logicalBytes;    // absent when the tree could not be measured
  bool canDelete = false;                      // a deletion review is approved under id
  std::string reason;
  platform::json::Date checkedAt;
  platform::json::Date expiresAt;  // the approval under id is void from then on
  std::vector<PreparedInstallerImage> attachedImages;
  bool canReleaseImages = false;  // an image-release review is approved under id

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("id", &PreparedInstallerItem::id),
        json::field("path", &PreparedInstallerItem::path),
        json::field("name", &PreparedInstallerItem::name),
        json::field("allocatedBytes", &PreparedInstallerItem::allocatedBytes),
        json::field("logicalBytes", &PreparedInstallerItem::logicalBytes),
        json::field("canDelete", &PreparedInstallerItem::canDelete),
        json::field("reason", &PreparedInstallerItem::reason),
        json::field("checkedAt", &PreparedInstallerItem::checkedAt),
        json::field("expiresAt", &PreparedInstallerItem::expiresAt),
        json::field("attachedImages", &PreparedInstallerItem::attachedImages),
        json::field("canReleaseImages", &PreparedInstallerItem::canReleaseImages),
    };
  }

  friend bool operator==(const PreparedInstallerItem&, const PreparedInstallerItem&) = default;
};

// One entry of a bundle whose deletion has begun, as its intent record keeps it.
struct InstallerDeletionRecordEntry {
  std::string relativePath;  // from the bundle, as in the tree snapshot
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mode = 0;  // st_mode: kind and permission bits
  std::int64_t logicalBytes = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("relativePath", &InstallerDeletionRecordEntry::relativePath),
        json::field("device", &InstallerDeletionRecordEntry::device),
        json::field("inode", &InstallerDeletionRecordEntry::inode),
        json::field("mode", &InstallerDeletionRecordEntry::mode),
        json::field("logicalBytes", &InstallerDeletionRecordEntry::logicalBytes),
        json::field("modifiedSeconds", &InstallerDeletionRecordEntry::modifiedSeconds),
        json::field("modifiedNanoseconds", &InstallerDeletionRecordEntry::modifiedNanoseconds),
    };
  }

  friend bool operator==(const InstallerDeletionRecordEntry&, const InstallerDeletionRecordEntry&) = default;
};

// Written before a deletion removes its first entry and removed once the bundle's absence
// is verified: the bundle's logical path, its directory's identity and every entry the
// deletion was approved to remove.
struct InstallerDeletionRecord {
  std::string path;  // "/Applications/" + bundle name
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::vector<InstallerDeletionRecordEntry> entries;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("path", &InstallerDeletionRecord::path),
        json::field("device", &InstallerDeletionRecord::device),
        json::field("inode", &InstallerDeletionRecord::inode),
        json::field("entries", &InstallerDeletionRecord::entries),
    };
  }

  friend bool operator==(const InstallerDeletionRecord&, const InstallerDeletionRecord&) = default;
};

// Which installer applications to review.
struct PreparedInstallerScanRequest {
  // check only this application instead of all of /Applications
  std::optional<std::string> onlyPath;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("onlyPath", &PreparedInstallerScanRequest::onlyPath),
    };
  }

  friend bool operator==(const PreparedInstallerScanRequest&,
                         const PreparedInstallerScanRequest&) = default;
};

// One review per installer application examined, in candidate order.
struct PreparedInstallerScanResponse {
  platform::json::Date checkedAt;  // when the scan started
  std::vector<PreparedInstallerItem> items;
  std::vector<std::string> warnings;
  bool complete = false;  // false when a limit cut the scan or enumeration failed

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("checkedAt", &PreparedInstallerScanResponse::checkedAt),
        json::field("items", &PreparedInstallerScanResponse::items),
        json::field("warnings", &PreparedInstallerScanResponse::warnings),
        json::field("complete", &PreparedInstallerScanResponse::complete),
    };
  }

  friend bool operator==(const PreparedInstallerScanResponse&,
                         const PreparedInstallerScanResponse&) = default;
};

// A deletion review to act on; the acknowledgments are judged by the engine.
struct PreparedInstallerDeleteRequest {
  std::string candidateID;  // review identifier from a scan
  bool permanentDeletionAcknowledged = false;
  bool noInstallationInProgressAcknowledged = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("candidateID", &PreparedInstallerDeleteRequest::candidateID),
        json::field("permanentDeletionAcknowledged",
                    &PreparedInstallerDeleteRequest::permanentDeletionAcknowledged),
        json::field("noInstallationInProgressAcknowledged",
                    &PreparedInstallerDeleteRequest::noInstallationInProgressAcknowledged),
    };
  }

  friend bool operator==(const PreparedInstallerDeleteRequest&,
                         const PreparedInstallerDeleteRequest&) = default;
};

// The outcome of one permanent deletion.
struct PreparedInstallerDeleteResponse {
  std::optional<std::string> path;  // the reviewed installer, when the review was found
  bool deleted = false;             // removal completed and verified
  bool mutationStarted = false;     // some file had already been removed
  std::optional<std::int64_t> allocatedBytesBefore;
  std::optional<std::int64_t> allocatedBytesRemaining;
  std::optional<std::int64_t> freeSpaceBefore;
  std::optional<std::int64_t> freeSpaceAfter;
  std::string message;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("path", &PreparedInstallerDeleteResponse::path),
        json::field("deleted", &PreparedInstallerDeleteResponse::deleted),
        json::field("mutationStarted", &PreparedInstallerDeleteResponse::mutationStarted),
        json::field("allocatedBytesBefore", &PreparedInstallerDeleteResponse::allocatedBytesBefore),
        json::field("allocatedBytesRemaining",
                    &PreparedInstallerDeleteResponse::allocatedBytesRemaining),
        json::field("freeSpaceBefore", &PreparedInstallerDeleteResponse::freeSpaceBefore),
        json::field("freeSpaceAfter", &PreparedInstallerDeleteResponse::freeSpaceAfter),
        json::field("message", &PreparedInstallerDeleteResponse::message),
    };
  }

  friend bool operator==(const PreparedInstallerDeleteResponse&,
                         const PreparedInstallerDeleteResponse&) = default;
};

// An image-release review to act on; the acknowledgments are judged by the engine.
struct PreparedInstallerImageReleaseRequest {
  std::string candidateID;  // review identifier from a scan
  bool releaseAcknowledged = false;
  bool noInstallationInProgressAcknowledged = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("candidateID", &PreparedInstallerImageReleaseRequest::candidateID),
        json::field("releaseAcknowledged",
                    &PreparedInstallerImageReleaseRequest::releaseAcknowledged),
        json::field("noInstallationInProgressAcknowledged",
                    &PreparedInstallerImageReleaseRequest::noInstallationInProgressAcknowledged),
    };
  }

  friend bool operator==(const PreparedInstallerImageReleaseRequest&,
                         const PreparedInstallerImageReleaseRequest&) = default;
};

// The outcome of one image release.
struct PreparedInstallerImageReleaseResponse {
  std::optional<std::string> path;  // the installer, when the review was found
  bool released = false;
  std::int32_t detachedImageCount = 0;
  std::string message;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("path", &PreparedInstallerImageReleaseResponse::path),
        json::field("released", &PreparedInstallerImageReleaseResponse::released),
        json::field("detachedImageCount",
                    &PreparedInstallerImageReleaseResponse::detachedImageCount),
        json::field("message", &PreparedInstallerImageReleaseResponse::message),
    };
  }

  friend bool operator==(const PreparedInstallerImageReleaseResponse&,
                         const PreparedInstallerImageReleaseResponse&) = default;
};

}  // namespace tidewarden::installers
