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

int FileDemo(const std::string& folder, const std::string& phone) {
    Arguments args;
    args.sim = phone;
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error, 10);
    if (device == nullptr) return Fail(error);

    Heading("The simulated iPhone arrives");
    std::printf("%s, %s with iOS %s, UDID %s, over %s\n", DeviceText(device, "DeviceName").c_str(),
                DeviceText(device, "ProductType").c_str(),
                DeviceText(device, "ProductVersion").c_str(),
                DeviceText(device, "UniqueDeviceID").c_str(),
                BrackwaterDeviceInterfaceType(device) == 2 ? "the network" : "USB");

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
int JunkDemo(const std::string& phone) {
    const std::string self = ProgramFolder() + "/brackwater --sim=" + phone + " ";
    const char* const steps[][2] = {
        {"Its applications, from the installation and springboard services", "apps"},
        {"A scan of every junk type", "scan all --summary"},
        {"The clean of everything but the crash logs of Maps", "clean all --keep '*Maps_*'"},
        {"A rescan: only what was kept is left", "scan all --summary"},
    };
    for (const auto& [title, command] : steps) {
        Heading(title);
        std::printf("$ brackwater --sim %s\n", command);
        std::fflush(stdout);
        const int status = std::system((self + command).c_str());
        if (status != 0) return Fail(std::string("brackwater ") + command + " failed");
    }
    return 0;
}

// The conversations `privacy scan messages --json` lists, one JSON line each; empty on failure.
std::vector<std::string> ConversationLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = ::popen((command + " privacy scan messages --json 2>/dev/null").c_str(), "r");
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

// The JSON text of the conversation identifier in one line, as written (quotes included).
std::string ChatField(const std::string& line) {
    const std::string marker = "\"chat\":";
    const size_t start = line.find(marker);
    if (start == std::string::npos) return {};
    const size_t end = line.find(",\"contact\":", start);
    return end == std::string::npos
               ? std::string()
               : line.substr(start + marker.size(), end - start - marker.size());
}

// Private data on a fresh backup: the phone's calls and conversations, the deep clean of one
// conversation with attachments, and the proof on the phone after the restore that exactly that
// conversation went. Backups and working folders stay in the demo's folder.
int PrivacyDemo(const std::string& folder, const std::string& phone) {
    const std::string self = "XDG_DATA_HOME='" + folder + "/data' XDG_CACHE_HOME='" + folder +
                             "/cache' " + ProgramFolder() + "/brackwater --sim='" + phone + "'";
    Heading("Calls and conversations, read from a fresh backup");
    std::printf("$ brackwater --sim privacy scan calls messages\n");
    std::fflush(stdout);
    if (std::system((self + " privacy scan calls messages").c_str()) != 0) {
        return Fail("brackwater privacy scan failed");
    }
    const std::vector<std::string> before = ConversationLines(self);
    std::string chosen;
    for (const std::string& line : before) {
        if (line.find("\"attachments\":0,") == std::string::npos) {
            chosen = ChatField(line);
            break;
        }
    }
    // The identifier is a JSON string of the phone's own conversation; a plain one is passed to
    // the shell as it is, anything else is not worth quoting for a demo.
    if (chosen.size() < 3 || chosen.find_first_of("'\\") != std::string::npos) {
        return Fail("the demo iPhone has no conversation with attachments");
    }
    const std::string identifier = chosen.substr(1, chosen.size() - 2);

    Heading("A deep clean of one conversation, restored to the phone");
    std::printf("$ brackwater --sim privacy clean messages --only '%s'\n", identifier.c_str());
    std::fflush(stdout);
    if (std::system((self + " privacy clean messages --only '" + identifier + "'").c_str()) != 0) {
        return Fail("brackwater privacy clean failed");
    }

    Heading("The phone's conversations after the restore");
    const std::vector<std::string> after = ConversationLines(self);
    std::vector<std::string> gone, appeared;
    for (const std::string& line : before) {
        if (std::find(after.begin(), after.end(), line) == after.end()) gone.push_back(line);
    }
    for (const std::string& line : after) {
        if (std::find(before.begin(), before.end(), line) == before.end()) appeared.push_back(line);
    }
    std::printf("%zu conversations before, %zu after\n", before.size(), after.size());
    if (gone.size() != 1 || ChatField(gone[0]) != chosen || !appeared.empty()) {
        return Fail("the phone's conversations changed other than by the one cleaned");
    }
    std::printf("gone: %s; every other conversation is unchanged\n", identifier.c_str());
    return 0;
}

}  // namespace

// The demo works on a copy of the demo iPhone, so that every run finds the same phone.
int RunDeviceDemo(const std::string& folder) {
    std::string cached, error;
    if (!MakeDemoImage(cached, error)) return Fail(error);
    const std::string phone = folder + "/demo-iphone";
    std::error_code failed;
    std::filesystem::copy(
        cached, phone,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
        failed);
    if (failed) return Fail("cannot copy the demo iPhone: " + failed.message());
    if (const int status = FileDemo(folder, phone); status != 0) return status;
    if (const int status = JunkDemo(phone); status != 0) return status;
    return PrivacyDemo(folder, phone);
}

}  // namespace cli
