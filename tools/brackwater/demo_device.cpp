// The device part of the demo: the simulated iPhone, its media area and the file service.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "device_session.h"
#include "simulator_setup.h"
#include "text.h"

namespace cli {

namespace {

void Heading(const char* text) {
    std::printf("\n== %s\n", text);
}

void PrintFolder(CIPhone* device, const std::string& path) {
    std::vector<std::string> names;
    const std::u16string wide = ToWide(path);
    BrackwaterDeviceListDirectory(
        device, wide.c_str(), 1,
        [](void* context, const BwChar* name, const BwDeviceFileInfo* info) {
            char line[64];
            std::snprintf(line, sizeof line, "%c %10llu  ",
                          info == nullptr       ? '?'
                          : info->fileType == 2 ? 'd'
                          : info->fileType == 6 ? 'l'
                                                : '-',
                          static_cast<unsigned long long>(info ? info->size : 0));
            static_cast<std::vector<std::string>*>(context)->push_back(line + ToUtf8(name));
        },
        &names);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.substr(14) < b.substr(14);
    });
    std::printf("%s:\n", path.c_str());
    for (const std::string& name : names)
        std::printf("  %s\n", name.c_str());
}

}  // namespace

namespace {

int FileDemo(const std::string& folder, const std::string& phone, bool wire) {
    Arguments args;
    (wire ? args.wire : args.sim) = phone;
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error, 10);
    if (device == nullptr) return Fail(error);

    Heading(wire ? "The simulated iPhone arrives over usbmuxd and lockdown, through the "
                   "libimobiledevice runtime"
                 : "The simulated iPhone arrives");
    std::printf("%s, %s with iOS %s, UDID %s, over %s\n", DeviceText(device, "DeviceName").c_str(),
                DeviceText(device, "ProductType").c_str(),
                DeviceText(device, "ProductVersion").c_str(),
                DeviceText(device, "UniqueDeviceID").c_str(),
                BrackwaterDeviceInterfaceType(device) == 2 ? "the network" : "USB");

    // Through the code of the info and screenshot commands, on this session's device.
    Heading("Everything the phone tells about itself: values, battery, storage, media usage");
    if (const int status = PrintDeviceInfo(device, false); status != 0) return status;
    Heading("A picture of its screen");
    if (const int status = SaveScreenshot(device, folder + "/screenshot.png"); status != 0)
        return status;

    Heading("Its photo library by album, a contact sheet of thumbnails and a copied photo");
    if (const int status = PhotoDemo(device, folder); status != 0) return status;
    if (wire) {
        // Adding photos goes through Apple's AirTraffic library, which no Linux runtime has.
        Heading("Adding photos needs Apple's AirTraffic library: shown by brackwater demo");
    } else {
        Heading(
            "Two pictures added from the computer, one removed again, a camera-roll photo deleted");
        if (const int status = PhotoChangeDemo(device, folder); status != 0) return status;
    }

    Heading("Its camera roll, through the file service");
    PrintFolder(device, "/DCIM/100APPLE");

    Heading("A photo copied to the computer, a note copied to the phone, then removed");
    const std::string photo = folder + "/IMG_0001.JPG";
    if (!BrackwaterDeviceCopyFromDevice(device, u"/DCIM/100APPLE/IMG_0001.JPG",
                                        ToWide(photo).c_str())) {
        return Fail("cannot copy the photo from the device");
    }
    std::printf("pulled IMG_0001.JPG: %llu bytes\n",
                static_cast<unsigned long long>(std::filesystem::file_size(photo)));
    const std::string note = folder + "/note.txt";
    std::ofstream(note) << "Hello from the computer\n";
    if (!BrackwaterDeviceCopyToDevice(device, ToWide(note).c_str(), u"/Downloads/note.txt")) {
        return Fail("cannot copy the note to the device");
    }
    PrintFolder(device, "/Downloads");
    BrackwaterDeviceRemove(device, u"/Downloads/note.txt", 0);
    std::printf("removed /Downloads/note.txt\n");
    PrintFolder(device, "/Downloads");
    return 0;
}

// Applications and junk: the list, a scan, a clean that keeps a few files, and a rescan. Each
// step runs as its own command, as a user would type it.
int JunkDemo(const std::string& phone, bool wire) {
    const std::string option = wire ? "--wire" : "--sim";
    const std::string self = ProgramFolder() + "/brackwater " + option + "='" + phone + "' ";
    const char* const steps[][2] = {
        {"Its applications, from the installation and springboard services", "apps"},
        {"A scan of every junk type", "scan all --summary"},
        {"The clean of everything but the crash logs of Maps", "clean all --keep '*Maps_*'"},
        {"A rescan: only what was kept is left", "scan all --summary"},
    };
    for (const auto& [title, command] : steps) {
        Heading(title);
        std::printf("$ brackwater %s %s\n", option.c_str(), command);
        std::fflush(stdout);
        const int status = std::system((self + command).c_str());
        if (status != 0) return Fail(std::string("brackwater ") + command + " failed");
    }
    return 0;
}

// The JSON lines of `brackwater ... ARGUMENTS --json`; empty on failure.
std::vector<std::string> JsonLines(const std::string& command, const std::string& arguments) {
    std::vector<std::string> lines;
    FILE* pipe = ::popen((command + " " + arguments + " --json 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return lines;
    std::string line;
    for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        lines.push_back(line);
        line.clear();
    }
    if (::pclose(pipe) != 0) lines.clear();
    return lines;
}

// The JSON text of one string field of a line, as written (quotes included); the field must be
// followed by another.
std::string Field(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":\"";
    const size_t start = line.find(marker);
    if (start == std::string::npos) return {};
    const size_t end = line.find("\",\"", start + marker.size());
    return end == std::string::npos
               ? std::string()
               : line.substr(start + marker.size() - 1, end + 2 - start - marker.size());
}

// A plain JSON string of the phone's own data as a shell word; empty for anything a demo need
// not quote.
std::string PlainWord(const std::string& jsonText) {
    if (jsonText.size() < 3 || jsonText.find_first_of("'\\") != std::string::npos) return {};
    return jsonText.substr(1, jsonText.size() - 2);
}

// Runs one privacy command and shows it; false when it failed.
bool Show(const std::string& self, const std::string& arguments) {
    std::printf("$ brackwater --sim %s\n", arguments.c_str());
    std::fflush(stdout);
    return std::system((self + " " + arguments).c_str()) == 0;
}

// Cleans what `--only WORD` matches of one privacy type and proves on the phone, after the
// restore, that exactly the items whose `key` is WORD went.
int CleanOneAndProve(const std::string& self, const std::string& type, const std::string& key,
                     const std::string& word, const char* what) {
    const std::vector<std::string> before = JsonLines(self, "privacy scan " + type);
    if (!Show(self, "privacy clean " + type + " --only '" + word + "'")) {
        return Fail("brackwater privacy clean failed");
    }
    Heading((std::string("The phone's ") + what + " after the restore").c_str());
    const std::vector<std::string> after = JsonLines(self, "privacy scan " + type);
    std::vector<std::string> gone, appeared;
    for (const std::string& line : before) {
        if (std::find(after.begin(), after.end(), line) == after.end()) gone.push_back(line);
    }
    for (const std::string& line : after) {
        if (std::find(before.begin(), before.end(), line) == before.end()) appeared.push_back(line);
    }
    std::printf("%zu %s before, %zu after\n", before.size(), what, after.size());
    const bool exact =
        !gone.empty() && appeared.empty() &&
        std::all_of(gone.begin(), gone.end(),
                    [&](const std::string& line) { return PlainWord(Field(line, key)) == word; }) &&
        std::none_of(after.begin(), after.end(),
                     [&](const std::string& line) { return PlainWord(Field(line, key)) == word; });
    if (!exact) return Fail(std::string("the phone's ") + what + " changed other than cleaned");
    std::printf("gone: every one of %s; everything else is unchanged\n", word.c_str());
    return 0;
}

// Private data on a fresh backup: the phone's calls and conversations, the deep clean of one
// conversation with attachments, and the proof on the phone after the restore that exactly that
// conversation went. Backups and working folders stay in the demo's folder.
int PrivacyDemo(const std::string& self) {
    Heading("Calls and conversations, read from a fresh backup");
    if (!Show(self, "privacy scan calls messages")) return Fail("brackwater privacy scan failed");
    std::string identifier;
    for (const std::string& line : JsonLines(self, "privacy scan messages")) {
        if (line.find("\"attachments\":0,") != std::string::npos) continue;
        identifier = PlainWord(Field(line, "chat"));
        break;
    }
    if (identifier.empty()) return Fail("the demo iPhone has no conversation with attachments");
    Heading("A deep clean of one conversation, restored to the phone");
    return CleanOneAndProve(self, "messages", "chat", identifier, "conversations");
}

// Safari's traces and the other web and application traces, and the deep clean of one site's
// cookies.
int SafariDemo(const std::string& self) {
    Heading("Safari's tabs, history and cookies, web data, recent applications, notifications");
    if (!Show(self,
              "privacy scan safari-tabs safari-history safari-cookies web-app-data web-mail "
              "recent-apps notifications")) {
        return Fail("brackwater privacy scan failed");
    }
    const std::vector<std::string> cookies = JsonLines(self, "privacy scan safari-cookies");
    const std::string site = cookies.empty() ? "" : PlainWord(Field(cookies.front(), "domain"));
    if (site.empty()) return Fail("the demo iPhone has no Safari cookies");
    Heading("A deep clean of one site's cookies, restored to the phone");
    return CleanOneAndProve(self, "safari-cookies", "domain", site, "cookies");
}

}  // namespace

// The demo works on a copy of the demo iPhone, so that every run finds the same phone.
int RunDeviceDemo(const std::string& folder, bool wire) {
    std::string cached, error;
    if (!MakeDemoImage(cached, error)) return Fail(error);
    const std::string phone = folder + "/demo-iphone";
    std::error_code failed;
    std::filesystem::copy(
        cached, phone,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
        failed);
    if (failed) return Fail("cannot copy the demo iPhone: " + failed.message());
    if (const int status = FileDemo(folder, phone, wire); status != 0) return status;
    if (const int status = JunkDemo(phone, wire); status != 0) return status;
    if (wire) {
        // Backups are made by Apple's backup tool, which a Linux host does not have.
        Heading("Backups and the deep clean need Apple's backup tool: shown by brackwater demo");
        return 0;
    }
    // Backups and the deep clean's working folders stay in the demo's folder.
    const std::string self = "XDG_DATA_HOME='" + folder + "/data' XDG_CACHE_HOME='" + folder +
                             "/cache' " + ProgramFolder() + "/brackwater --sim='" + phone + "'";
    if (const int status = PrivacyDemo(self); status != 0) return status;
    return SafariDemo(self);
}

}  // namespace cli
