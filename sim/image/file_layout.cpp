#include "file_layout.h"

#include <string_view>

#include "applications_content.h"
#include "common/plist_tree.h"
#include "contact_stores.h"
#include "home_screen.h"
#include "junk_content.h"
#include "media_library.h"
#include "message_store.h"
#include "photo_library.h"
#include "push_stores.h"
#include "safari_cookies.h"
#include "safari_pages.h"
#include "web_data.h"

namespace bw::sim {
namespace {

struct FolderRow {
    const char* path;
    int sinceMajor;  // the first iOS version that has it
};

// Folders that exist on every image, even when empty. Parents are made on the way.
constexpr FolderRow kFolders[] = {
    // System partition: only "com.apple.afc2" sees it.
    {"/Applications", 5},
    {"/Library", 5},
    {"/System/Library/CoreServices", 5},
    {"/bin", 5},
    {"/dev", 5},
    {"/private/etc", 5},
    {"/sbin", 5},
    {"/usr/bin", 5},
    {"/usr/lib", 5},
    {"/usr/libexec", 5},
    // Data partition.
    {"/var/db", 5},
    {"/var/logs", 5},
    {"/var/root/Library", 5},
    {"/var/tmp", 5},
    {"/var/mobile/Applications", 5},
    // The media area.
    {"/var/mobile/Media/Airlock", 5},
    {"/var/mobile/Media/Books", 5},
    {"/var/mobile/Media/DCIM/100APPLE", 5},
    {"/var/mobile/Media/Downloads", 5},
    {"/var/mobile/Media/PhotoData/Thumbnails", 5},
    {"/var/mobile/Media/Photos/Sync", 5},
    {"/var/mobile/Media/PublicStaging", 5},
    {"/var/mobile/Media/Purchases", 5},
    {"/var/mobile/Media/Radio", 7},  // iTunes Radio came with iOS 7
    {"/var/mobile/Media/Recordings", 5},
    {"/var/mobile/Media/general_storage", 5},
    {"/var/mobile/Media/iTunes_Control/Music", 5},
    {"/var/mobile/Media/iTunes_Control/iTunes", 5},
    // The home domain.
    {"/var/mobile/Library/AddressBook", 5},
    {"/var/mobile/Library/Caches", 5},
    {"/var/mobile/Library/Calendar", 5},
    {"/var/mobile/Library/CallHistory", 5},
    {"/var/mobile/Library/Cookies", 5},
    {"/var/mobile/Library/Keyboard", 5},
    {"/var/mobile/Library/Logs/CrashReporter", 5},
    {"/var/mobile/Library/Mail", 5},
    {"/var/mobile/Library/Notes", 5},
    {"/var/mobile/Library/Preferences", 5},
    {"/var/mobile/Library/SMS/Attachments", 5},
    {"/var/mobile/Library/Safari", 5},
    {"/var/mobile/Library/SpringBoard", 5},
    {"/var/mobile/Library/Voicemail", 5},
    {"/var/mobile/Library/WebKit/Databases", 5},
    {"/var/mobile/Library/WebKit/LocalStorage", 5},
    // The wireless domain.
    {"/var/wireless/Library/CallHistory", 5},
    {"/var/wireless/Library/Logs", 5},
    {"/var/wireless/Library/Preferences", 5},
};

struct LinkRow {
    const char* path;
    const char* target;  // relative to the link's folder
};

// On a phone /var is a link to /private/var; here /var is the real folder, because the services
// serve their roots below it, and /private/var is the link, so that "com.apple.afc2" still lists
// both names. The two links of the media area let the file service's link handling be tested.
constexpr LinkRow kLinks[] = {
    {"/private/var", "../var"},
    {"/etc", "private/etc"},
    {"/tmp", "var/tmp"},
    {"/var/mobile/Media/DCIM/Latest", "100APPLE"},
    {"/var/mobile/Media/DCIM/LatestPhoto.JPG", "100APPLE/IMG_0011.JPG"},
};

bool AddSystemFiles(ImageWriter& writer, const ImageOptions&) {
    const IosRelease& release = *writer.identity().release;
    const std::string copyright = "1983-" + std::to_string(2007 + release.major) + " Apple Inc.";
    DictBuilder version;
    version.Text("ProductBuildVersion", release.build)
        .Text("ProductCopyright", copyright)
        .Text("ProductName", "iPhone OS")
        .Text("ProductVersion", release.version);
    const PlistTree tree = version.Take();
    // System files carry the date of the release build, not of the user's data.
    const int64_t built = release.epoch - 60 * 86400;
    return writer.File("/System/Library/CoreServices/SystemVersion.plist", PlistXml(tree.get()),
                       built) &&
           writer.File("/private/etc/hosts",
                       "##\n"
                       "# Host Database\n"
                       "#\n"
                       "# localhost is used to configure the loopback interface\n"
                       "# when the system is booting.  Do not change this entry.\n"
                       "##\n"
                       "127.0.0.1\tlocalhost\n"
                       "255.255.255.255\tbroadcasthost\n"
                       "::1             localhost\n",
                       built);
}

using ContentStep = bool (*)(ImageWriter&, const ImageOptions&);

// Content, in the order it is written. Later steps may rely on what earlier ones made.
constexpr ContentStep kContentSteps[] = {
    AddSystemFiles,   AddPhotoLibrary, AddApplications, AddJunk,
    AddMessages,      AddCallHistory,  AddAddressBook,  AddSpringboardRecords,
    AddSafariCookies, AddWebData,      AddSafariPages,  AddMediaLibrary,
    AddHomeScreen,  // after the applications, whose icons it shows
};

}  // namespace

bool WriteFileSystem(ImageWriter& writer, const ImageOptions& options) {
    const int major = writer.identity().release->major;
    for (const FolderRow& row : kFolders) {
        if (major >= row.sinceMajor && !writer.Folder(row.path)) return false;
    }
    for (const ContentStep step : kContentSteps) {
        if (!step(writer, options)) return false;
    }
    // Links last: their targets must exist.
    for (const LinkRow& row : kLinks) {
        if (!writer.Link(row.path, row.target)) return false;
    }
    return writer.Finish();
}

std::string LayoutFingerprint() {
    std::string text;
    for (const FolderRow& row : kFolders)
        text += std::string(row.path) + ' ' + std::to_string(row.sinceMajor) + '\n';
    for (const LinkRow& row : kLinks)
        text += std::string(row.path) + " -> " + row.target + '\n';
    text += std::to_string(std::size(kContentSteps));
    return text;
}

}  // namespace bw::sim
