#include "backup_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include <cstdio>

#include "common/plist_tree.h"
#include "mbdb.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "record_io.h"

namespace bw::sim::backuptool {
namespace {

struct Entry {
    const Domain* domain = nullptr;
    std::string relativePath;
    std::string hostPath;
    struct stat info {};
    std::string linkTarget;
};

// Lists every folder, file and link of every domain, each folder before its contents.
bool CollectEntries(const std::vector<Domain>& domains, std::vector<Entry>& entries,
                    uint64_t& totalBytes, std::string& error) {
    totalBytes = 0;
    for (const Domain& domain : domains) {
        const size_t baseLength = domain.hostBase.size() + 1;
        const bool walked = platform::WalkTree(
            domain.hostBase, [&](const std::string& path, const platform::FolderEntry&) {
                Entry entry;
                entry.domain = &domain;
                entry.relativePath = path.substr(baseLength);
                entry.hostPath = path;
                if (::lstat(path.c_str(), &entry.info) != 0) return false;
                const bool folder = S_ISDIR(entry.info.st_mode);
                if (!domain.Holds(entry.relativePath)) {
                    return folder && domain.LeadsInto(entry.relativePath);
                }
                if (S_ISLNK(entry.info.st_mode)) {
                    if (!ReadLinkTarget(path, entry.linkTarget)) return false;
                } else if (S_ISREG(entry.info.st_mode)) {
                    totalBytes += static_cast<uint64_t>(entry.info.st_size);
                } else if (!folder) {
                    return false;  // devices, sockets and pipes are no user data
                }
                entries.push_back(std::move(entry));
                return true;
            });
        if (!walked) {
            error = "cannot list " + domain.hostBase;
            return false;
        }
    }
    return true;
}

// Copies a file into the backup while hashing it; the size is what was actually read, so a file
// that changes during the backup gets a record that matches the stored copy.
bool CopyAndHash(const std::string& source, const std::string& target, Sha1Digest& digest,
                 uint64_t& size, const std::function<bool(uint64_t)>& progress) {
    const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    ContentHash hash;
    const std::span<char> buffer = CopyBuffer();
    size = 0;
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        hash.Update(buffer.data(), static_cast<size_t>(got));
        if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) {
            ok = false;
            break;
        }
        size += static_cast<uint64_t>(got);
        if (!progress(static_cast<uint64_t>(got))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0) ok = false;
    digest = hash.Finish();
    return ok;
}

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr int64_t kUnixSecondsAt2001 = 978307200;

plist_t DateNode(int64_t unixSeconds) {
    return plist_new_date(static_cast<int32_t>(unixSeconds - kUnixSecondsAt2001), 0);
}

// A version 4 UUID in upper case, as a device names a backup's snapshot.
std::string NewUuidText() {
    unsigned char b[16];
    platform::RandomBytes(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string BinaryText(plist_t tree) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(tree, &bytes, &length);
    std::string text = bytes != nullptr ? std::string(bytes, length) : std::string();
    if (bytes != nullptr) plist_to_bin_free(bytes);
    return text;
}

DictBuilder LockdownSummary(const DeviceImage& image) {
    DictBuilder lockdown;
    for (const char* key : {"BuildVersion", "DeviceName", "ProductType", "ProductVersion",
                            "SerialNumber", "UniqueDeviceID"}) {
        const std::string value = image.Text(key);
        if (!value.empty()) lockdown.Text(key, value);
    }
    return lockdown;
}

std::string ManifestPlist(const DeviceImage& image, const std::vector<AppContainer>& apps,
                          int64_t now) {
    DictBuilder applications;
    for (const AppContainer& app : apps) {
        DictBuilder entry;
        entry.Text("CFBundleIdentifier", app.bundleId);
        if (!app.bundleVersion.empty()) entry.Text("CFBundleVersion", app.bundleVersion);
        const std::string container = app.hostPath.substr(app.hostPath.rfind('/') + 1);
        entry.Text("Path", "/var/mobile/Applications/" + container +
                               (app.bundleName.empty() ? "" : "/" + app.bundleName));
        applications.Dict(app.bundleId.c_str(), std::move(entry));
    }
    DictBuilder manifest;
    manifest.Dict("Applications", std::move(applications))
        .Value("Date", DateNode(now))
        .Flag("IsEncrypted", image.WillEncrypt())
        .Dict("Lockdown", LockdownSummary(image))
        .Text("SystemDomainsVersion", "20.0")
        .Text("Version", "9.1")
        .Flag("WasPasscodeSet", BoolValue(image.Value("PasswordProtected")).value_or(false));
    return BinaryText(manifest.Take().get());
}

std::string StatusPlist(int64_t now) {
    DictBuilder status;
    status.Text("BackupState", "new")
        .Value("Date", DateNode(now))
        .Flag("IsFullBackup", true)
        .Text("SnapshotState", "finished")
        .Text("UUID", NewUuidText())
        .Text("Version", "2.4");
    return BinaryText(status.Take().get());
}

// The Info.plist a device's own backup writes, keys in sorted order; the library adds its keys
// to its own copy later.
std::string InfoPlist(const DeviceImage& image, const std::vector<AppContainer>& apps,
                      int64_t now) {
    DictBuilder info;
    const auto copy = [&](const char* key, const char* value) {
        const std::string text = image.Text(value);
        if (!text.empty()) info.Text(key, text);
    };
    copy("Build Version", "BuildVersion");
    copy("Device Name", "DeviceName");
    copy("Display Name", "DeviceName");
    info.Text("GUID", NewUuidText());
    copy("ICCID", "IntegratedCircuitCardIdentity");
    copy("IMEI", "InternationalMobileEquipmentIdentity");
    plist_t installed = plist_new_array();
    for (const AppContainer& app : apps)
        plist_array_append_item(installed, plist_new_string(app.bundleId.c_str()));
    info.Value("Installed Applications", installed).Value("Last Backup Date", DateNode(now));
    copy("Phone Number", "PhoneNumber");
    copy("Product Type", "ProductType");
    copy("Product Version", "ProductVersion");
    copy("Serial Number", "SerialNumber");
    copy("Target Identifier", "UniqueDeviceID");
    info.Text("Target Type", "Device");
    std::string unique = image.Udid();
    for (char& c : unique)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    info.Text("Unique Identifier", unique);
    return PlistXml(info.Take().get());
}

// Puts the finished backup in place of the old one. The old folder is moved aside first, so
// that at every moment one complete backup carries the name (or, between the two renames, the
// old one the aside name).
bool Publish(const std::string& staging, const std::string& target) {
    const std::string aside = target + ".replaced";
    platform::DeleteTree(aside);
    const bool hadOld = platform::PathExists(target);
    if (hadOld && !platform::RenamePath(target, aside)) return false;
    if (!platform::RenamePath(staging, target)) {
        if (hadOld) platform::RenamePath(aside, target);
        return false;
    }
    if (hadOld) platform::DeleteTree(aside);
    return true;
}

}  // namespace

ToolResult WriteBackup(const DeviceImage& image, const std::string& backupRoot,
                       const std::string& folderName, Reporter& reporter, bool& stopped) {
    stopped = false;
    if (!reporter.Progress(0)) {
        stopped = true;
        return ToolResult::Ok();
    }
    // Each domain is read through its base folder as opened now: a base that is a link would
    // put the host's files into the backup.
    std::vector<Domain> domains;
    std::vector<platform::UniqueFd> pins;
    for (Domain& domain : BackupDomains(image)) {
        const std::string base = domain.hostBase;
        platform::UniqueFd pin;
        if (!PinDomainBase(image, domain, false, pin)) {
            if (errno == ENOENT) continue;  // the device has no such folder
            return ToolResult::Error(kErrorUnreadableBackup,
                                     "the device folder " + base + " is a link or no folder");
        }
        domains.push_back(std::move(domain));
        pins.push_back(std::move(pin));
    }
    const std::vector<AppContainer> apps = ListAppContainers(image);
    std::vector<Entry> entries;
    uint64_t totalBytes = 0;
    std::string error;
    if (!CollectEntries(domains, entries, totalBytes, error))
        return ToolResult::Error(kErrorUnreadableBackup, error);

    const std::string target = platform::JoinPath(backupRoot, folderName);
    const std::string staging = target + ".incomplete";
    platform::CreateFolders(backupRoot);
    platform::DeleteTree(staging);
    if (!platform::CreateFolder(staging))
        return ToolResult::Error(kErrorWriteFailed, "cannot create " + staging);
    const auto failed = [&](std::string text) {
        platform::DeleteTree(staging);
        return ToolResult::Error(kErrorWriteFailed, std::move(text));
    };

    // Every entry weighs as much as a small file, so a backup of empty files still progresses.
    constexpr uint64_t kEntryWeight = 4096;
    const uint64_t totalWork = totalBytes + entries.size() * kEntryWeight + 1;
    uint64_t done = 0;
    const auto advance = [&](uint64_t amount) {
        done += amount;
        if (!stopped && !reporter.Progress(static_cast<int>(done * 99 / totalWork))) stopped = true;
        return !stopped;
    };

    const uint8_t protectionClass = image.MajorVersion() >= 7 ? 3 : 4;
    std::vector<ManifestRecord> records;
    records.reserve(entries.size());
    for (const Entry& entry : entries) {
        RecordFields fields;
        fields.domain = entry.domain->name;
        fields.path = entry.relativePath;
        fields.info = entry.info;
        if (S_ISREG(entry.info.st_mode)) {
            const std::string name = BackupFileName(fields.domain, fields.path);
            Sha1Digest digest{};
            uint64_t size = 0;
            if (!CopyAndHash(entry.hostPath, platform::JoinPath(staging, name), digest, size,
                             advance)) {
                if (stopped) {
                    platform::DeleteTree(staging);
                    return ToolResult::Ok();
                }
                return failed("cannot back up " + entry.domain->name + " \"" + entry.relativePath +
                              "\"");
            }
            fields.digest = digest;
            fields.size = size;
            fields.protectionClass = protectionClass;
        } else if (S_ISLNK(entry.info.st_mode)) {
            fields.linkTarget = entry.linkTarget;
        }
        records.push_back(MakeRecord(fields));
        if (!advance(kEntryWeight)) {
            platform::DeleteTree(staging);
            return ToolResult::Ok();
        }
    }

    const int64_t now = platform::NowUnixSeconds();
    const std::optional<std::string> manifest = EncodeManifest(records);
    if (!manifest) return failed("a name is too long for the manifest");
    const std::string manifestPlist = ManifestPlist(image, apps, now);
    const std::string status = StatusPlist(now);
    const std::string info = InfoPlist(image, apps, now);
    if (manifestPlist.empty() || status.empty() || info.empty())
        return failed("cannot encode the backup's property lists");
    if (!platform::WriteFileAtomic(platform::JoinPath(staging, "Manifest.mbdb"), *manifest) ||
        !platform::WriteFileAtomic(platform::JoinPath(staging, "Manifest.plist"), manifestPlist) ||
        !platform::WriteFileAtomic(platform::JoinPath(staging, "Info.plist"), info) ||
        !platform::WriteFileAtomic(platform::JoinPath(staging, "Status.plist"), status))
        return failed("cannot write the manifest files");
    if (!Publish(staging, target)) return failed("cannot move the backup into " + target);
    return ToolResult::Ok();
}

}  // namespace bw::sim::backuptool
