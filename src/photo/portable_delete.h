// Deleting camera-roll photos. The photo sync only removes photos the computer put on the device;
// pictures taken with the phone leave it the way a camera's pictures do: through the phone's
// portable-device face, by deleting the files of those names from its storage.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/photo.h"
#include "platform/portable_device.h"

namespace bw {

// Device paths are read into a buffer of this many characters (the zero included), so a longer
// path is cut before its file name is taken.
inline constexpr size_t kDeletionPathCharacters = 260;

// A photo's deletion entry: the text after the last "/" of its device path, the path cut to its
// first 259 UTF-16 characters. Empty when the photo has no path.
std::string PortableDeletionEntry(IPhoto* photo);

// Deletes, on the first portable device whose friendly name contains "Apple" and whose serial
// number equals `serialNumber`, every file object named in `deletionList`, in every folder.
// Prints each visited object's name on its own line of stdout. Nothing tells the caller whether
// anything was found or deleted.
void DeleteFromPortableDevice(std::string_view serialNumber,
                              const std::vector<std::string>& deletionList);

// The same over devices already listed, printing to `console`.
void DeleteFromPortableDevice(std::string_view serialNumber,
                              const std::vector<std::string>& deletionList,
                              platform::PortableDeviceList devices, std::FILE* console);

}  // namespace bw
