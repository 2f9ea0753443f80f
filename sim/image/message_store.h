// The messages of an image: /var/mobile/Library/SMS/sms.db in the schema of the image's iOS
// version and the attachment files below /var/mobile/Library/SMS/Attachments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kSmsDatabasePath[] = "/var/mobile/Library/SMS/sms.db";
inline constexpr char kSmsAttachmentsPath[] = "/var/mobile/Library/SMS/Attachments";

// iOS 5 keeps an iMessage's attachment GUIDs in its "madrid_attachmentInfo" blob: the list starts
// at byte 66 when that byte is '$', else at byte 103; entries are 38 bytes apart, each the GUID
// between a '$' and a '?'. `lateStart` chooses the longer header. Never shorter than 67 bytes.
std::string AttachmentInfoBlob(const std::vector<std::string>& guids, bool lateStart);

bool AddMessages(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
