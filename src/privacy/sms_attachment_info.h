// The attachment GUIDs of an iOS 5 message, read from the message's "madrid_attachmentInfo" blob.
// The blob comes from the backup, so any bytes may arrive here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bw {

// Bytes from one entry to the next.
inline constexpr size_t kAttachmentInfoStep = 38;
// The first entry starts here when this byte is '$', else at kAttachmentInfoLaterStart.
inline constexpr size_t kAttachmentInfoStart = 66;
inline constexpr size_t kAttachmentInfoLaterStart = 103;

// The GUIDs in entry order (a GUID found twice is listed once). A blob of fewer than 67 bytes
// holds none. Every result has the shape of a GUID (8-4-4-4-12 hexadecimal digits), so it is
// safe to show and to compare; the list ends at the first entry that holds no GUID.
std::vector<std::string> AttachmentGuidsFromInfo(std::string_view blob);

// True for text of the shape 8-4-4-4-12 hexadecimal digits.
bool IsGuidText(std::string_view text);

}  // namespace bw
