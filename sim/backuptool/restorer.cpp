#include "restorer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "common/plist_file.h"
#include "common/real_folder.h"
#include "mbdb.h"
#include "platform/files.h"
#include "record_io.h"

namespace bw::sim::backuptool {
namespace {

// A manifest larger than this is not a backup we made; reading it whole would only cost memory.
constexpr uint64_t kLargestManifest = 1ull << 30;
// Manifest.plist of a large backup stays far below this.
constexpr size_t kLargestManifestPlist = 64u << 20;

enum class Kind { kFolder, kFile, kLink };

struct Item {
    const ManifestRecord* record = nullptr;
    Kind kind = Kind::kFile;
    std::string source;  // the backup file of a file
    uint64_t size = 0;
};

struct DomainPlan {
    Domain domain;
    std::map<std::string, Item> items;  // by relative path; parents sort before their contents
    std::string devicePath;             // the domain's base as the image names it, for messages
    platform::UniqueFd pin;             // the base, once opened (see PinDomainBase)
};

// A file is written beside its target under the target's name and this suffix first.
constexpr std::string_view kRestoreSuffix = ".bw-restore";

std::optional<Kind> KindOfMode(uint16_t mode) {
    if (S_ISDIR(mode)) return Kind::kFolder;
    if (S_ISREG(mode)) return Kind::kFile;
    if (S_ISLNK(mode)) return Kind::kLink;
    return std::nullopt;
}

std::optional<Kind> KindOnDevice(const struct stat& info) {
    return KindOfMode(static_cast<uint16_t>(info.st_mode & 0xFFFF));
}

// Makes every folder of `relative` below `base`, never following a link: a path that leads
// through a link or a file is refused, so nothing is ever written outside the device's tree.
bool MakeRealFolders(const std::string& base, std::string_view relative) {
    std::string path = base;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        path += "/";
        path.append(relative.substr(start, end - start));
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT || ::mkdir(path.c_str(), 0755) != 0) return false;
        } else if (!S_ISDIR(info.st_mode)) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string ParentOf(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// The owner keeps reading and writing what is restored, whatever mode the backup recorded, so the
// simulator and the next backup can always read the device's files. The device's files live on
// the host, so only the bits a phone's own files carry are kept: a backup cannot make a host file
// set-user-ID, set-group-ID, sticky, or writable by the host's other users.
constexpr mode_t kKeptModeBits = 0755;

void ApplyMetadata(const std::string& path, const ManifestRecord& record, Kind kind) {
    if (kind != Kind::kLink) {
        const mode_t owner = kind == Kind::kFolder ? 0700 : 0600;
        ::chmod(path.c_str(), static_cast<mode_t>((record.mode & kKeptModeBits) | owner));
    }
    timespec times[2] = {{static_cast<time_t>(record.accessedTime), 0},
                         {static_cast<time_t>(record.modifiedTime), 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Copies the rest of `in` to `out`, in the kernel where it can (no trip of every byte through
// this process), else through the shared buffer. `progress` hears of every piece; halted when it
// asked to stop.
bool CopyContent(int in, int out, const std::function<bool(uint64_t)>& progress, bool& halted) {
    constexpr size_t kPiece = 8 << 20;
    bool inKernel = true;
    for (;;) {
        ssize_t got = 0;
        if (inKernel) {
            got = ::copy_file_range(in, nullptr, out, nullptr, kPiece, 0);
            if (got < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                inKernel = false;  // nothing was copied: the descriptors keep their offsets
                continue;
            }
        } else {
            const std::span<char> buffer = CopyBuffer();
            got = ::read(in, buffer.data(), buffer.size());
            if (got > 0 && !WriteAll(out, buffer.data(), static_cast<size_t>(got))) return false;
        }
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!progress(static_cast<uint64_t>(got))) {
            halted = true;
            return false;
        }
    }
}

// Writes the new content of a file beside its target, as the temporary a batch later renames
// over the target, with the recorded mode and times already on it. Its write-back to the disk
// starts at once, so that the batch's flush finds most of the bytes on their way.
bool WriteTemporaryFile(const std::string& source, const std::string& temporary,
                        const ManifestRecord& record, const std::function<bool(uint64_t)>& progress,
                        bool& halted) {
    ::unlink(temporary.c_str());
    const platform::UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return false;
    const int out =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return false;
    bool ok = CopyContent(in.get(), out, progress, halted);
    if (ok) {
        ::fchmod(out, static_cast<mode_t>((record.mode & kKeptModeBits) | 0600));
        const timespec times[2] = {{static_cast<time_t>(record.accessedTime), 0},
                                   {static_cast<time_t>(record.modifiedTime), 0}};
        ::futimens(out, times);
        ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    if (::close(out) != 0) ok = false;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

// A link is made under the temporary name too and renamed over its target, so the target is
// never missing.
bool WriteTemporaryLink(const std::string& wanted, const std::string& temporary,
                        const ManifestRecord& record) {
    ::unlink(temporary.c_str());
    if (::symlink(wanted.c_str(), temporary.c_str()) != 0) return false;
    ApplyMetadata(temporary, record, Kind::kLink);
    return true;
}

// The files and links of a domain written as temporaries and not yet renamed over their
// targets. How a restore keeps every entry old or new:
//   1. every new file or link is written completely under its temporary name beside its target
//      (the targets are untouched);
//   2. Commit flushes the file system once (syncfs), so the bytes of every temporary of the
//      batch are on the disk;
//   3. only then is each temporary renamed over its target, one atomic replacement per entry.
// So wherever the restore stops (the tool killed or crashed, a write failing, the host losing
// power), each listed file and link holds either its content from before the restore or the
// backup's, never a part or a mix; an interrupted batch leaves at most its temporaries, which
// the next restore removes as entries the backup does not list. One flush per batch instead of
// one per file keeps the cost of the guarantee to a few disk flushes per restore.
// Not covered: entries the backup does not list are removed before any file is written, and
// folders are made as they are needed, so an interrupted restore may have done either already.
class PendingBatch {
  public:
    // Bounds of a batch, so that a stop loses little work and the flush is never too long.
    static constexpr size_t kMostEntries = 4096;
    static constexpr uint64_t kMostBytes = 256ull << 20;

    explicit PendingBatch(int fileSystem) : fileSystem_(fileSystem) {}
    PendingBatch(const PendingBatch&) = delete;
    PendingBatch& operator=(const PendingBatch&) = delete;
    // What was not renamed goes: a failed or stopped restore leaves the targets as they were.
    ~PendingBatch() {
        for (const auto& [temporary, target] : entries_)
            ::unlink(temporary.c_str());
    }

    void Add(std::string temporary, std::string target, uint64_t bytes) {
        entries_.emplace_back(std::move(temporary), std::move(target));
        bytes_ += bytes;
    }
    bool Full() const { return entries_.size() >= kMostEntries || bytes_ >= kMostBytes; }
    // Whether `path` is a temporary of this batch: an entry of the backup named like another's
    // temporary is restored only after that other one was renamed.
    bool HasTemporary(const std::string& path) const {
        if (!std::string_view(path).ends_with(kRestoreSuffix)) return false;
        return std::any_of(entries_.begin(), entries_.end(),
                           [&](const auto& entry) { return entry.first == path; });
    }

    // Flushes, then renames every temporary over its target; `renamed` hears of each (false from
    // it stops the batch, whose remaining temporaries the destructor removes).
    bool Commit(const std::function<bool()>& renamed, bool& halted) {
        if (entries_.empty()) return true;
        if (::syncfs(fileSystem_) != 0) return false;
        size_t done = 0;
        bool ok = true;
        for (; done < entries_.size(); ++done) {
            const auto& [temporary, target] = entries_[done];
            if (::rename(temporary.c_str(), target.c_str()) != 0) {
                ok = false;
                break;
            }
            if (!renamed()) {
                ++done;
                halted = true;
                ok = false;
                break;
            }
        }
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(done));
        bytes_ = 0;
        return ok;
    }

  private:
    int fileSystem_;
    std::vector<std::pair<std::string, std::string>> entries_;  // temporary, target
    uint64_t bytes_ = 0;
};

bool RemoveEntry(const std::string& path, bool realFolder) {
    return realFolder ? platform::DeleteTree(path) : ::unlink(path.c_str()) == 0;
}

// The SHA-1 of a file's content; false when it cannot be read.
bool HashFile(const std::string& path, Sha1Digest& digest) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    ContentHash hash;
    const std::span<char> buffer = CopyBuffer();
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        hash.Update(buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    digest = hash.Finish();
    return ok;
}

// A stored file whose size or content differs from its record is damaged, or was changed behind
// the manifest's back: restoring it would put on the device what the backup never held. An
// empty data hash is no hash.
ToolResult CheckStoredFile(const ManifestRecord& record, const std::string& what,
                           const std::string& source, uint64_t storedSize) {
    if (storedSize != record.size) {
        return ToolResult::Error(kErrorDamagedBackup, "the backup file of " + what + " holds " +
                                                          std::to_string(storedSize) +
                                                          " bytes, its record says " +
                                                          std::to_string(record.size));
    }
    if (!record.dataHash || record.dataHash->empty()) return ToolResult::Ok();
    Sha1Digest digest{};
    if (!HashFile(source, digest))
        return ToolResult::Error(kErrorUnreadableBackup, "cannot read the backup file of " + what);
    if (*record.dataHash != DigestBytes(digest)) {
        return ToolResult::Error(kErrorDamagedBackup, "the content of the backup file of " + what +
                                                          " does not match its recorded SHA-1");
    }
    return ToolResult::Ok();
}

ToolResult Unrestorable(const DomainPlan& plan, const std::string& path, const std::string& why) {
    return ToolResult::Error(kErrorUnrestorable,
                             "cannot restore " + plan.domain.name + " \"" + path + "\": " + why);
}

// What the host cannot create is found before the first change, so that a restore never stops
// halfway with device files already gone: a name longer than a folder entry can be (with the
// suffix of the temporary file it is written as), a path longer than the system takes, and an
// entry below a link or a file that the backup itself makes (the restore never writes through a
// link, so it would fail there). Domains that share a base folder are checked together.
ToolResult CheckNamesFit(const std::vector<DomainPlan>& plans) {
    // The longest text a base is named by in a call: its pinned path or its path in the image.
    const size_t pinnedLength = PinnedFolderPath(INT_MAX).size();
    std::set<std::string> notFolders;  // "base/relative" of every file and link
    for (const DomainPlan& plan : plans) {
        for (const auto& [relative, item] : plan.items) {
            if (item.kind != Kind::kFolder) notFolders.insert(plan.devicePath + "/" + relative);
        }
    }
    for (const DomainPlan& plan : plans) {
        const size_t baseLength = std::max(plan.devicePath.size(), pinnedLength);
        for (const auto& [relative, item] : plan.items) {
            const size_t suffix = item.kind == Kind::kFile ? kRestoreSuffix.size() : 0;
            if (baseLength + 1 + relative.size() + suffix >= PATH_MAX)
                return Unrestorable(plan, relative, "the path is too long for the host");
            size_t start = 0;
            for (;;) {
                const size_t slash = relative.find('/', start);
                const bool last = slash == std::string::npos;
                const size_t length = (last ? relative.size() : slash) - start;
                if (length + (last ? suffix : 0) > NAME_MAX)
                    return Unrestorable(plan, relative, "a name is too long for the host");
                if (last) break;
                if (notFolders.count(plan.devicePath + "/" + relative.substr(0, slash)) != 0)
                    return Unrestorable(plan, relative,
                                        "it lies below a link or file of the same backup");
                start = slash + 1;
            }
        }
    }
    return ToolResult::Ok();
}

// True when a domain restored before `plan` lists `relative` of the same base as a folder: that
// restore puts a real folder there, whatever the device holds now.
bool MadeFolderEarlier(const std::vector<DomainPlan>& plans, const DomainPlan& plan,
                       const std::string& relative) {
    for (const DomainPlan& earlier : plans) {
        if (&earlier == &plan) return false;
        if (earlier.devicePath != plan.devicePath) continue;
        const auto found = earlier.items.find(relative);
        if (found != earlier.items.end() && found->second.kind == Kind::kFolder) return true;
    }
    return false;
}

// A folder on the way to what a domain holds, but not held by it ("Library" on the way to
// MediaDomain's "Library/SMS/Attachments"), is walked through and never replaced, so a link or a
// file there stops the restore of everything below it, unless an earlier domain makes it a folder.
ToolResult CheckFoldersOnTheWay(const std::vector<DomainPlan>& plans, const DomainPlan& plan) {
    std::set<std::string> checked;
    for (const auto& [relative, item] : plan.items) {
        for (size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1)) {
            const std::string onTheWay = relative.substr(0, slash);
            if (plan.domain.Holds(onTheWay) || !checked.insert(onTheWay).second) continue;
            struct stat info {};
            if (::fstatat(plan.pin.get(), onTheWay.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                S_ISDIR(info.st_mode) || MadeFolderEarlier(plans, plan, onTheWay))
                continue;
            return Unrestorable(plan, relative, onTheWay + " on the device is a link or a file");
        }
    }
    return ToolResult::Ok();
}

// Opens every domain's base folder that exists; one that is a link or no folder refuses the
// restore (a missing one is made when the restore starts).
ToolResult PinDomainBases(const DeviceImage& image, std::vector<DomainPlan>& plans) {
    for (DomainPlan& plan : plans) {
        if (!PinDomainBase(image, plan.domain, false, plan.pin)) {
            if (errno == ENOENT) continue;
            return ToolResult::Error(kErrorUnrestorable, "the device folder " + plan.devicePath +
                                                             " is a link or no folder");
        }
        if (ToolResult onTheWay = CheckFoldersOnTheWay(plans, plan); onTheWay.errorCode != 0)
            return onTheWay;
    }
    return ToolResult::Ok();
}

ToolResult CheckBackup(const DeviceImage& image, const std::string& folder,
                       const std::vector<ManifestRecord>& records, std::vector<DomainPlan>& plans,
                       uint64_t& totalBytes) {
    std::map<std::string, size_t> planOf;
    totalBytes = 0;
    for (const ManifestRecord& record : records) {
        const std::string domainName = record.domain.value_or("");
        auto found = planOf.find(domainName);
        if (found == planOf.end()) {
            std::optional<Domain> domain = FindDomain(image, domainName);
            if (!domain || domain->backupOnly) {
                std::fprintf(stderr, "backup tool: %s is not on this device and is left out\n",
                             domainName.c_str());
                planOf.emplace(domainName, static_cast<size_t>(-1));
                continue;
            }
            found = planOf.emplace(domainName, plans.size()).first;
            const std::string devicePath = domain->hostBase;
            plans.push_back({std::move(*domain), {}, devicePath, {}});
        }
        if (found->second == static_cast<size_t>(-1)) continue;
        DomainPlan& plan = plans[found->second];
        const std::string path = record.path.value_or("");
        if (path.empty()) continue;  // the domain's own folder
        const std::optional<Kind> kind = KindOfMode(record.mode);
        if (!IsSafeRelativePath(path) || !plan.domain.Holds(path) || !kind) {
            return ToolResult::Error(kErrorUnreadableBackup,
                                     "the backup lists " + domainName + " \"" + path +
                                         "\", which the domain cannot hold");
        }
        Item item{&record, *kind, {}, 0};
        if (*kind == Kind::kFile) {
            const std::string what = domainName + " \"" + path + "\"";
            item.source = platform::JoinPath(folder, BackupFileName(domainName, path));
            struct stat info {};
            if (::lstat(item.source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
                return ToolResult::Error(kErrorUnreadableBackup,
                                         "the backup file of " + what + " is missing");
            }
            item.size = static_cast<uint64_t>(info.st_size);
            if (ToolResult stored = CheckStoredFile(record, what, item.source, item.size);
                stored.errorCode != 0)
                return stored;
            totalBytes += item.size;
        } else if (*kind == Kind::kLink && !record.linkTarget) {
            return ToolResult::Error(kErrorUnreadableBackup, "a link without a target: " + path);
        }
        if (!plan.items.emplace(path, std::move(item)).second) {
            return ToolResult::Error(kErrorUnreadableBackup,
                                     "the backup lists " + domainName + " \"" + path + "\" twice");
        }
    }
    if (ToolResult fits = CheckNamesFit(plans); fits.errorCode != 0) return fits;
    return PinDomainBases(image, plans);
}

// Removes what the backup does not list, and entries whose kind changed.
bool RemoveUnlisted(const DomainPlan& plan) {
    const Domain& domain = plan.domain;
    std::vector<std::pair<std::string, bool>> removals;
    const size_t baseLength = domain.hostBase.size() + 1;
    platform::WalkTree(domain.hostBase, [&](const std::string& path, const platform::FolderEntry&) {
        const std::string relative = path.substr(baseLength);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return false;
        const bool realFolder = S_ISDIR(info.st_mode);
        if (!domain.Holds(relative)) return realFolder && domain.LeadsInto(relative);
        const auto listed = plan.items.find(relative);
        if (listed == plan.items.end() || KindOnDevice(info) != listed->second.kind) {
            removals.emplace_back(path, realFolder);
            return false;
        }
        return true;
    });
    bool ok = true;
    for (const auto& [path, realFolder] : removals)
        ok = RemoveEntry(path, realFolder) && ok;
    return ok;
}

}  // namespace

ToolResult RestoreBackup(const DeviceImage& image, const std::string& folder, Reporter& reporter,
                         bool& stopped) {
    stopped = false;
    if (!reporter.Progress(0)) {
        stopped = true;
        return ToolResult::Ok();
    }
    if (!platform::IsFolder(folder))
        return ToolResult::Error(kErrorMissingBackup, "no backup folder " + folder);
    const PlistTree manifestPlist =
        ReadPlistFile(platform::JoinPath(folder, "Manifest.plist"), kLargestManifestPlist);
    if (BoolValue(DictItem(manifestPlist.get(), "IsEncrypted")).value_or(false))
        return ToolResult::Error(kErrorEncryptedBackup, "the backup is encrypted");
    const std::string manifestPath = platform::JoinPath(folder, "Manifest.mbdb");
    std::string bytes;
    if (!platform::ReadWholeFile(manifestPath, bytes, kLargestManifest))
        return ToolResult::Error(kErrorUnreadableBackup, "cannot read " + manifestPath);
    std::vector<ManifestRecord> records;
    std::string error;
    const bool decoded = DecodeManifest(bytes, records, error);
    bytes.clear();
    if (!decoded) return ToolResult::Error(kErrorUnreadableBackup, manifestPath + ": " + error);

    std::vector<DomainPlan> plans;
    uint64_t totalBytes = 0;
    if (ToolResult checked = CheckBackup(image, folder, records, plans, totalBytes);
        checked.errorCode != 0)
        return checked;

    constexpr uint64_t kEntryWeight = 4096;
    uint64_t entries = 0;
    for (const DomainPlan& plan : plans)
        entries += plan.items.size();
    const uint64_t totalWork = totalBytes + entries * kEntryWeight + 1;
    uint64_t done = 0;
    const auto advance = [&](uint64_t amount) {
        done += amount;
        if (!stopped && !reporter.Progress(static_cast<int>(done * 99 / totalWork))) stopped = true;
        return !stopped;
    };
    const auto failed = [](const std::string& what) {
        return ToolResult::Error(kErrorWriteFailed, "cannot restore " + what);
    };

    for (DomainPlan& plan : plans) {
        if (!plan.pin.valid() && !PinDomainBase(image, plan.domain, true, plan.pin))
            return failed(plan.devicePath);
        const std::string& base = plan.domain.hostBase;
        if (!RemoveUnlisted(plan)) return failed("(removing) " + plan.devicePath);
        // The pin is a path handle, which syncfs does not take; the base opened for reading is.
        const platform::UniqueFd fileSystem(
            ::openat(plan.pin.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fileSystem.valid()) return failed(plan.devicePath);
        PendingBatch batch(fileSystem.get());
        bool halted = false;
        const auto commit = [&] {
            return batch.Commit([&] { return advance(kEntryWeight); }, halted);
        };
        std::string madeFolder;  // the last parent folder made: files of a folder come together
        for (const auto& [relative, item] : plan.items) {
            const std::string target = base + "/" + relative;
            if (item.kind != Kind::kFolder) {
                if ((batch.HasTemporary(target) || batch.Full()) && !commit()) {
                    if (halted) return ToolResult::Ok();
                    return failed(plan.devicePath);
                }
                const std::string parent = ParentOf(relative);
                if (parent != madeFolder) {
                    if (!MakeRealFolders(base, parent))
                        return failed(plan.devicePath + "/" + relative);
                    madeFolder = parent;
                }
            }
            switch (item.kind) {
                case Kind::kFolder:
                    if (!MakeRealFolders(base, relative))
                        return failed(plan.devicePath + "/" + relative);
                    if (!advance(kEntryWeight)) return ToolResult::Ok();
                    break;
                case Kind::kFile: {
                    std::string temporary = target + std::string(kRestoreSuffix);
                    if (!WriteTemporaryFile(item.source, temporary, *item.record, advance,
                                            halted)) {
                        if (halted) return ToolResult::Ok();
                        return failed(plan.devicePath + "/" + relative);
                    }
                    batch.Add(std::move(temporary), target, item.size);
                    break;
                }
                case Kind::kLink: {
                    std::string current;
                    const std::string& wanted = *item.record->linkTarget;
                    if (ReadLinkTarget(target, current) && current == wanted) {
                        if (!advance(kEntryWeight)) return ToolResult::Ok();
                        break;
                    }
                    std::string temporary = target + std::string(kRestoreSuffix);
                    if (!WriteTemporaryLink(wanted, temporary, *item.record))
                        return failed(plan.devicePath + "/" + relative);
                    batch.Add(std::move(temporary), target, 0);
                    break;
                }
            }
        }
        if (!commit()) {
            if (halted) return ToolResult::Ok();
            return failed(plan.devicePath);
        }
        // Folder times last, deepest first, since writing into a folder changes its time.
        for (auto it = plan.items.rbegin(); it != plan.items.rend(); ++it) {
            if (it->second.kind == Kind::kFolder)
                ApplyMetadata(base + "/" + it->first, *it->second.record, Kind::kFolder);
        }
    }
    // The renames and folder times of the last batches reach the disk before success is told.
    if (!plans.empty()) {
        const platform::UniqueFd fileSystem(
            ::openat(plans.front().pin.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fileSystem.valid() || ::syncfs(fileSystem.get()) != 0)
            return failed(plans.front().devicePath);
    }
    return ToolResult::Ok();
}

}  // namespace bw::sim::backuptool
