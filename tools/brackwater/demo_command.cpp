// brackwater demo: a tour of what the library can do, on files it makes itself.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "brackwater/brackwater.h"
#include "cli.h"
#include "text.h"

namespace cli {

namespace {

constexpr const char* kSettingsXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Device Name</key>
	<string>Demo iPhone</string>
	<key>Product Version</key>
	<string>7.1.2</string>
	<key>Last Backup Date</key>
	<date>2014-06-30T09:41:00Z</date>
	<key>Battery</key>
	<real>0.87</real>
	<key>Apps</key>
	<array>
		<string>com.example.notes</string>
		<string>com.example.weather</string>
	</array>
	<key>Encrypted</key>
	<false/>
	<key>Photo Count</key>
	<integer>1204</integer>
	<key>Token</key>
	<data>3q2+7w==</data>
</dict>
</plist>
)";

void Put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

void PutText(std::string& out, const std::string& text) {
    Put16(out, static_cast<unsigned>(text.size()));
    out += text;
}

void PutBigEndian(std::string& out, unsigned long long value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

// One record of a backup manifest, the way a device backup writes it.
void PutRecord(std::string& out, const std::string& domain, const std::string& path, unsigned mode,
               unsigned long long size, bool withHash) {
    PutText(out, domain);
    PutText(out, path);
    Put16(out, 0xFFFF);  // no link target
    if (withHash) {
        Put16(out, 20);
        for (int i = 0; i < 20; ++i)
            out.push_back(static_cast<char>(0xA0 + i));
    } else {
        Put16(out, 0xFFFF);
    }
    Put16(out, 0xFFFF);  // no encryption key
    Put16(out, mode);
    PutBigEndian(out, 4242, 8);  // inode
    PutBigEndian(out, 501, 4);   // uid
    PutBigEndian(out, 501, 4);   // gid
    for (int i = 0; i < 3; ++i)
        PutBigEndian(out, 1404121260ULL, 4);
    PutBigEndian(out, size, 8);
    out.push_back(withHash ? 4 : 0);  // protection class
    out.push_back(0);                 // no properties
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

void Heading(const char* text) {
    std::printf("\n== %s\n", text);
}

bool Convert(const std::string& file, const char* format, const char* codec, std::string& out) {
    out.clear();
    if (BrackwaterPlistConvert(ToWide(file).c_str(), ToWide(format).c_str(), ToWide(codec).c_str(),
                               AppendToString, &out)) {
        return true;
    }
    Fail(LibraryError());
    return false;
}

}  // namespace

int RunDemo(Arguments& args) {
    const bool keep = TakeFlag(args.words, "--keep");
    if (!args.words.empty()) {
        return UsageError("unexpected argument", "brackwater demo [--keep] [--wire]");
    }
    if (args.sim) return UsageError("the demo makes its own iPhone", "brackwater demo [--wire]");
    // mkdtemp makes a fresh 0700 folder of a new name, so a shared temporary folder is safe here.
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern =
        std::string(temporary != nullptr && *temporary == '/' ? temporary : "/tmp")
            .append("/brackwater-demo-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) return Fail("cannot make a temporary folder");
    const std::string folder = pattern;
    std::printf("Brackwater %s demo, working in %s\n", LibraryVersion().c_str(), folder.c_str());

    Heading("Property lists: an XML list read by the plist library, shown as JSON");
    const std::string xml = folder + "/Settings.plist";
    WriteFile(xml, kSettingsXml);
    std::string text;
    if (!Convert(xml, "json", "library", text)) return kExitFailure;
    std::fputs(text.c_str(), stdout);

    Heading("The same list written as binary by the library's own codec, then read back");
    std::string binary;
    if (!Convert(xml, "binary", "own", binary)) return kExitFailure;
    const std::string binaryPath = folder + "/Settings.bplist";
    WriteFile(binaryPath, binary);
    std::printf("%zu bytes of XML became %zu bytes of \"bplist00\"; read back as JSON:\n",
                std::string(kSettingsXml).size(), binary.size());
    if (!Convert(binaryPath, "json", "own", text)) return kExitFailure;
    std::fputs(text.c_str(), stdout);

    Heading("A backup manifest: the records of a small backup");
    std::string manifest = "mbdb";
    manifest += '\x05';
    manifest += '\x00';
    PutRecord(manifest, "HomeDomain", "Library/SMS", 0x41ED, 0, false);
    PutRecord(manifest, "HomeDomain", "Library/SMS/sms.db", 0x81A4, 28672, true);
    PutRecord(manifest, "MediaDomain", "Library/SMS/Attachments/ab/IMG_0001.JPG", 0x81A4, 912345,
              true);
    PutRecord(manifest, "AppDomain-com.example.notes", "Documents/notes.sqlite", 0x81A4, 8192,
              true);
    const std::string mbdb = folder + "/Manifest.mbdb";
    WriteFile(mbdb, manifest);
    if (!BrackwaterManifestList(ToWide(folder).c_str(), 0, WriteToFile, stdout)) {
        return Fail(LibraryError());
    }
    std::printf("\nThe same records as JSON lines:\n");
    if (!BrackwaterManifestList(ToWide(mbdb).c_str(), 1, WriteToFile, stdout)) {
        return Fail(LibraryError());
    }

    Heading("Saving the manifest unchanged gives the same bytes");
    if (!BrackwaterManifestResave(ToWide(mbdb).c_str())) return Fail(LibraryError());
    std::ifstream saved(mbdb, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(saved)), {});
    std::printf("%zu bytes before, %zu after: %s\n", manifest.size(), after.size(),
                after == manifest ? "identical" : "DIFFERENT");

    Heading("A damaged manifest is refused with a clear message");
    const std::string bad = folder + "/Damaged/Manifest.mbdb";
    std::filesystem::create_directory(folder + "/Damaged");
    WriteFile(bad, "not a manifest");
    if (!BrackwaterManifestList(ToWide(bad).c_str(), 0, WriteToFile, stdout)) {
        std::printf("error: %s\n", LibraryError().c_str());
    }

    if (const int device = RunDeviceDemo(folder, args.wire.has_value()); device != 0) return device;

    if (keep) {
        std::printf("\nThe files stay in %s. Try: brackwater plist convert %s --to json\n",
                    folder.c_str(), binaryPath.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        std::printf("\nDone (brackwater demo --keep leaves the files for you to try).\n");
    }
    return after == manifest ? 0 : kExitFailure;
}

}  // namespace cli
