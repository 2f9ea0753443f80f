#include "image/image_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "device_identity.h"
#include "device_plist.h"
#include "device_values.h"
#include "file_layout.h"
#include "image_writer.h"
#include "ios_release.h"
#include "photos.h"
#include "removed_apps.h"
#include "seeded_random.h"
#include "sqlite_build.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

// Bump with every change of what CreateImage writes that the tables below do not show (values,
// file contents, times): cached images are remade when BuilderVersion changes.
constexpr int kBuilderRevision = 8;

// Every image the builder makes holds this file with exactly this content. Replacing a folder
// deletes it, so a folder is only taken for an image when the builder itself marked it: a
// device.plist alone is easy to come by (an image copied by hand, a test's own fixture).
constexpr char kMarkerName[] = ".brackwater-sim-image";
constexpr std::string_view kMarkerContent = "brackwater-sim device image, replaced as a whole\n";

constexpr size_t kLongestDeviceName = 255;

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

bool IsUtf8WithoutControls(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x20 || lead == 0x7f) return false;
        size_t length = 1;
        uint32_t code = lead;
        if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4, code = lead & 0x07;
        } else if (lead >= 0xe0) {
            length = 3, code = lead & 0x0f;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2, code = lead & 0x1f;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
            return false;
        if (code >= 0x80 && code < 0xa0) return false;  // C1 controls
        i += length;
    }
    return true;
}

bool IsHexIdentifier(std::string_view text) {
    if (text.size() != 40) return false;
    for (const char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string JoinedVersions() {
    std::string text;
    const auto& versions = SupportedIosVersions();
    for (size_t i = 0; i < versions.size(); ++i) {
        if (i > 0) text += i + 1 == versions.size() ? " or " : ", ";
        text += versions[i];
    }
    return text;
}

bool SetFolderModeAndTime(const std::string& folder, int64_t time) {
    const timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    return ::chmod(folder.c_str(), 0755) == 0 &&
           ::utimensat(AT_FDCWD, folder.c_str(), times, 0) == 0;
}

bool WriteMarker(const std::string& folder, int64_t time) {
    const std::string path = folder + "/" + kMarkerName;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, kMarkerContent.data(), kMarkerContent.size()) ==
                             static_cast<ssize_t>(kMarkerContent.size()) &&
                         ::fchmod(fd, 0644) == 0;
    const timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    const bool timed = ::futimens(fd, times) == 0;
    return ::close(fd) == 0 && written && timed;
}

// True when the folder holds the builder's marker: a regular file (never a link), with the
// builder's content and nothing more.
bool HoldsMarker(const std::string& folder) {
    const std::string path = folder + "/" + kMarkerName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    char bytes[128];
    ssize_t length = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) length = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    return length >= 0 && std::string_view(bytes, static_cast<size_t>(length)) == kMarkerContent;
}

bool BuildInto(const std::string& folder, const ImageOptions& options, std::string& error) {
    const IosRelease& release = *FindIosRelease(options.iosVersion);
    const DeviceIdentity identity = MakeDeviceIdentity(options, release);

    ImageWriter writer(folder + "/fs", identity);
    if (!WriteFileSystem(writer, options)) return Fail(error, writer.error());
    ImageWriter leftovers(folder + "/" + kRemovedAppsFolder, identity);
    if (!WriteRemovedApps(leftovers, options)) return Fail(error, leftovers.error());

    const PlistTree values = MakeDeviceValues(options, identity);
    if (!WriteDevicePlist(folder, values.get(), identity.now, error)) return false;
    if (!WriteMarker(folder, identity.now))
        return Fail(error, "cannot mark " + folder + " as an image: " + std::strerror(errno));
    if (!SetFolderModeAndTime(folder, identity.now))
        return Fail(error, "cannot set the time of " + folder + ": " + std::strerror(errno));
    return true;
}

// A new empty folder beside `target`, named after it, for building or for moving the old image
// aside.
bool MakeSiblingFolder(const fs::path& target, const char* purpose, std::string& path,
                       std::string& error) {
    path = (target.parent_path() / std::string(".")
                                       .append(target.filename().string())
                                       .append(".")
                                       .append(purpose)
                                       .append("-XXXXXX"))
               .string();
    if (::mkdtemp(path.data()) == nullptr)
        return Fail(error,
                    "cannot make a folder beside " + target.string() + ": " + std::strerror(errno));
    return true;
}

enum class TargetState { Missing, Empty, Image };

bool InspectTarget(fs::path& target, TargetState& state, std::string& error) {
    std::error_code failure;
    const fs::file_status link = fs::symlink_status(target, failure);
    if (failure && failure != std::errc::no_such_file_or_directory)
        return Fail(error, "cannot read " + target.string() + ": " + failure.message());
    if (fs::is_symlink(link)) {
        // Build where the link points and leave the link itself alone.
        const fs::path resolved = fs::canonical(target, failure);
        if (failure) return Fail(error, target.string() + " is a link that points at nothing");
        target = resolved;
    }
    const fs::file_status status = fs::status(target, failure);
    if (!fs::exists(status)) {
        state = TargetState::Missing;
        return true;
    }
    if (!fs::is_directory(status))
        return Fail(error, target.string() + " exists and is not a folder");
    const bool empty = fs::is_empty(target, failure);
    if (failure) return Fail(error, "cannot read " + target.string() + ": " + failure.message());
    if (empty) {
        state = TargetState::Empty;
        return true;
    }
    if (!IsImage(target.string()))
        return Fail(error, "refusing to replace " + target.string() +
                               ": the folder is not empty and is no image this tool made");
    state = TargetState::Image;
    return true;
}

bool MoveIntoPlace(const std::string& staging, const fs::path& target, TargetState state,
                   std::string& error) {
    const std::string targetPath = target.string();
    if (state != TargetState::Image) {
        // rename() replaces an empty folder, and fails if someone filled it meanwhile.
        if (::rename(staging.c_str(), targetPath.c_str()) != 0)
            return Fail(error,
                        "cannot move the new image to " + targetPath + ": " + std::strerror(errno));
        return true;
    }
    std::string old;
    if (!MakeSiblingFolder(target, "old", old, error)) return false;
    if (::rename(targetPath.c_str(), old.c_str()) != 0) {
        const int saved = errno;
        ::rmdir(old.c_str());
        return Fail(error, "cannot move the old image aside: " + std::string(std::strerror(saved)));
    }
    if (::rename(staging.c_str(), targetPath.c_str()) != 0) {
        const int saved = errno;
        ::rename(old.c_str(), targetPath.c_str());
        return Fail(error,
                    "cannot move the new image to " + targetPath + ": " + std::strerror(saved));
    }
    std::error_code ignored;
    fs::remove_all(old, ignored);  // does not follow the image's links
    return true;
}

}  // namespace

const std::vector<std::string>& SupportedIosVersions() {
    static const std::vector<std::string> versions = [] {
        std::vector<std::string> list;
        for (const IosRelease* release = IosReleasesBegin(); release != IosReleasesEnd(); ++release)
            list.emplace_back(release->version);
        return list;
    }();
    return versions;
}

bool ValidateOptions(const ImageOptions& options, std::string& error) {
    if (FindIosRelease(options.iosVersion) == nullptr)
        return Fail(error, "unsupported iOS version \"" + options.iosVersion + "\" (choose " +
                               JoinedVersions() + ")");
    if (options.name.size() > kLongestDeviceName)
        return Fail(error, "the device name is longer than 255 bytes");
    if (!IsUtf8WithoutControls(options.name))
        return Fail(error, "the device name must be UTF-8 text without control characters");
    if (!options.udid.empty() && !IsHexIdentifier(options.udid))
        return Fail(error, "the UDID must be 40 hexadecimal digits");
    if (options.scale < 1 || options.scale > kMaxScale)
        return Fail(error, "the scale must be between 1 and " + std::to_string(kMaxScale));
    if (options.interfaceType != "USB" && options.interfaceType != "Network")
        return Fail(error, "the interface type must be \"USB\" or \"Network\"");
    return true;
}

bool CreateImage(const std::string& folder, const ImageOptions& options, std::string& error) {
    if (!ValidateOptions(options, error)) return false;
    if (folder.empty()) return Fail(error, "no image folder given");
    std::error_code failure;
    fs::path target = fs::absolute(folder, failure).lexically_normal();
    if (failure) return Fail(error, "cannot use the folder " + folder + ": " + failure.message());
    if (!target.has_filename()) target = target.parent_path();
    if (target == target.root_path()) return Fail(error, "refusing to write into " + folder);

    TargetState state{};
    if (!InspectTarget(target, state, error)) return false;
    fs::create_directories(target.parent_path(), failure);
    if (failure)
        return Fail(error,
                    "cannot make " + target.parent_path().string() + ": " + failure.message());

    std::string staging;
    if (!MakeSiblingFolder(target, "new", staging, error)) return false;
    if (!BuildInto(staging, options, error) || !MoveIntoPlace(staging, target, state, error)) {
        fs::remove_all(staging, failure);
        return false;
    }
    return true;
}

bool IsImage(const std::string& folder) {
    if (!HoldsMarker(folder)) return false;
    std::string ignored;
    const PlistTree values = ReadDevicePlist(folder, ignored);
    if (values == nullptr) return false;
    const plist_t switches = plist_dict_get_item(values.get(), kSimulatorKey);
    return switches != nullptr && plist_get_node_type(switches) == PLIST_DICT;
}

std::string BuilderVersion() {
    static const std::string version = [] {
        uint64_t hash = StableHash(std::to_string(kBuilderRevision));
        hash = StableHash(LayoutFingerprint(), hash);
        hash = StableHash(PhotoEncoderVersion(), hash);
        hash = StableHash(BW_SIM_LIBPLIST_VERSION, hash);
        // SQLite writes the message, call and contact stores; its version decides their bytes.
        hash = StableHash(sqlite3_libversion(), hash);
        char text[32];
        std::snprintf(text, sizeof text, "%d-%08x", kBuilderRevision,
                      static_cast<unsigned>((hash ^ (hash >> 32)) & 0xffffffffU));
        return std::string(text);
    }();
    return version;
}

std::string RootDevicePath(ImageRoot root) {
    switch (root) {
        case ImageRoot::Media:
            return "/var/mobile/Media";
        case ImageRoot::Home:
            return "/var/mobile/Library";
        case ImageRoot::CrashReports:
            return "/var/mobile/Library/Logs/CrashReporter";
        case ImageRoot::Applications:
            return "/var/mobile/Applications";
        case ImageRoot::Wireless:
            return "/var/wireless";
        case ImageRoot::FileSystem:
            break;
    }
    return "/";
}

std::string ImagePath(const std::string& folder, std::string_view devicePath, ImageRoot root) {
    const std::string rootPath = root == ImageRoot::FileSystem ? "" : RootDevicePath(root);
    const std::string inside = NormalizeDevicePath(devicePath);
    return folder + "/fs" + rootPath + (inside == "/" ? "" : inside);
}

}  // namespace bw::sim
