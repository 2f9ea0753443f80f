// Completion of a deep clean: the edited working copies and the changed manifest go into the
// device's backup folder, which the restore then puts on the device.
//
// The backup folder is changed only after everything else is ready: the working copies are
// checked, the manifest is changed and saved in the restore copy folder, and the files that will
// leave the backup are copied into the backup copy folder. Then a pending list naming every file
// to replace and delete is written, and the changes are made in this order: edited files, the
// manifest, deletions. Every replacement is a rename of a complete file, so a crash leaves each
// file old or new; a crash between two renames leaves the pending list, and the next set-up or
// completion finishes the list from the restore copy folder. Files leave the backup only after
// the manifest that no longer lists them is in place, so the manifest never names a missing file.
//
// A write that fails (a full disk, an I/O error) is not a crash: the process can still put the
// untouched copies back, so the backup folder ends exactly as it was, and the working manifest
// is reset to match it, so that completing again plans the same changes afresh. Only when that
// fails too does the pending list stay for the next run to finish.
#include <algorithm>

#include "backup/configure_tool.h"
#include "platform/files.h"

namespace bw {
namespace {

constexpr std::string_view kManifestName = "Manifest.mbdb";
constexpr std::string_view kPendingName = "DeepCleanPending.plist";
constexpr std::string_view kBackupInfoName = "BackupInfo.plist";

std::string LastComponent(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void SetOutcome(CDicValueObj& entry, bool result, std::string_view outcome) {
    entry.Set("Result", CDicValueObj::MakeBool(result));
    // Not one of the entry's original keys: the reason the entry ended as it did, so that
    // "BackupInfo.plist" tells what happened to every entry.
    entry.Set("Outcome", CDicValueObj::MakeString(std::string(outcome)));
}

CDicValueObj StringArray(const std::vector<std::string>& texts) {
    CDicValueObj array = CDicValueObj::MakeArray();
    for (const std::string& text : texts)
        array.Array()->push_back(CDicValueObj::MakeString(text));
    return array;
}

std::vector<std::string> PlainNames(const CDicValueObj* array) {
    std::vector<std::string> names;
    if (array == nullptr || array->Array() == nullptr) return names;
    for (const CDicValueObj& item : *array->Array()) {
        if (item.String() != nullptr && IsPlainFileName(*item.String())) {
            names.push_back(*item.String());
        }
    }
    return names;
}

}  // namespace

struct CConfigureTool::Planned {
    std::vector<std::string> replace;  // backup file names whose working copies go in
    std::vector<std::string> remove;   // backup file names that leave the backup
    // Entries waiting for the backup folder to be changed, with their outcome text on success.
    std::vector<std::pair<CDicValueObj, std::string>> pending;
    bool manifestChanged = false;
};

std::string CConfigureTool::PendingListPath() const {
    return backupCopyFolder_.empty() ? "" : platform::JoinPath(backupCopyFolder_, kPendingName);
}

bool CConfigureTool::Complete() {
    if (configuration_.Dictionary() == nullptr) return false;
    // A backup folder still between two states is finished first; a new plan on top of it
    // could not tell which of its files are old.
    const bool wasPending = platform::IsFile(PendingListPath());
    if (!FinishInterruptedCompletion()) return WriteBackupInfo();
    // The finished changes are in the saved manifest of the restore copy folder, which an
    // earlier process wrote; this object's list may predate them.
    if (wasPending && manifest_ != nullptr) {
        manifest_ =
            std::make_unique<ManifestDataManager>(udid_, sourceFolder_, manifest_->ManifestPath());
    }

    Planned plan;
    std::vector<std::pair<std::string, CDicValueObj>> deletes;
    for (auto& [key, value] : *configuration_.Dictionary()) {
        if (key.size() <= kMaxTopLevelValueKey || value.type != kPlistDictionary) continue;
        CDicValueObj entry = value;  // shares the entry's payload
        const std::optional<int64_t> type = entry.GetInteger("ExecuteType");
        if (!IsPlainFileName(key)) {
            SetOutcome(entry, false, "ignored: the key is not a plain file name");
        } else if (!type) {
            SetOutcome(entry, false, "ignored: no integer ExecuteType");
        } else if (manifest_ == nullptr) {
            SetOutcome(entry, false, "not applied: no manifest");
        } else if (*type == kExecuteModify) {
            PlanModify(key, entry, plan);
        } else if (*type == kExecuteDelete) {
            // A delete done by an earlier completion has no record left to find.
            if (!entry.GetBool("Result").value_or(false)) deletes.emplace_back(key, entry);
        } else {
            SetOutcome(entry, false, "ignored: unknown ExecuteType");
        }
    }
    // Delete entries are handled in groups of the same "Parent", in configuration order within a
    // group.
    std::stable_sort(deletes.begin(), deletes.end(), [](const auto& a, const auto& b) {
        return a.second.GetString("Parent").value_or("") <
               b.second.GetString("Parent").value_or("");
    });
    for (auto& [key, entry] : deletes)
        PlanDelete(key, entry, plan);

    // Nothing to change: the backup folder is left exactly as it is.
    if (plan.manifestChanged) {
        const bool committed = Commit(plan);
        for (auto& [entry, outcome] : plan.pending) {
            SetOutcome(entry, committed,
                       committed ? outcome : "not applied: the backup folder could not be changed");
        }
    }
    return WriteBackupInfo();
}

bool CConfigureTool::PlanModify(const std::string& key, CDicValueObj& entry, Planned& plan) {
    const std::string restoreCopy = platform::JoinPath(restoreCopyFolder_, key);
    if (!platform::IsPlainFile(restoreCopy)) {
        SetOutcome(entry, false, "not applied: the working copy is missing");
        return false;
    }
    const std::string domain = entry.GetString("Domain").value_or("");
    const std::string fullName = entry.GetString("FullName").value_or("");
    // The record found by domain and path must be the one this file belongs to; otherwise the
    // working copy's size and hash would land on another file's record.
    if (fullName.empty() || manifest_->FindRecord(domain, fullName).backupFileName != key) {
        SetOutcome(entry, false, "not applied: no manifest record for this file");
        return false;
    }
    const std::string source = platform::JoinPath(sourceFolder_, key);
    if (!platform::IsPlainFile(source)) {
        SetOutcome(entry, false, "not applied: the backup file is missing");
        return false;
    }
    // An unedited working copy changes nothing, and its record keeps its bytes.
    if (platform::SameFileContent(restoreCopy, source)) {
        SetOutcome(entry, true, "unchanged");
        return true;
    }
    if (manifest_->UpdateRecordFromFile(domain, fullName, restoreCopy).empty()) {
        SetOutcome(entry, false, "not applied: the working copy could not be read");
        return false;
    }
    plan.replace.push_back(key);
    plan.pending.emplace_back(entry, "replaced");
    plan.manifestChanged = true;
    return true;
}

// A delete entry takes out the record of its own backup file (named by the key, or for a working
// copy named after the device's file, by that name) and the records whose path begins with that
// record's path, such as a database's "-wal" and "-shm" companions. Other files whose path merely
// contains "FullName" stay: one selected push store must not take every push store with it.
bool CConfigureTool::PlanDelete(const std::string& key, CDicValueObj& entry, Planned& plan) {
    const std::string domain = entry.GetString("Domain").value_or("");
    const std::string fullName = entry.GetString("FullName").value_or("");
    if (domain.empty() || fullName.empty()) {
        SetOutcome(entry, false, "not applied: no Domain or FullName");
        return false;
    }
    const std::vector<MbdbRecord> records = manifest_->ListDomainRecords(domain);
    const MbdbRecord* own = nullptr;
    for (const MbdbRecord& record : records) {
        if (record.backupFileName == key) {
            own = &record;
            break;
        }
    }
    if (own == nullptr) {
        for (const MbdbRecord& record : records) {
            if (LastComponent(record.path.text) != key) continue;
            if (own != nullptr) {
                SetOutcome(entry, false, "not applied: the name is not unique in the manifest");
                return false;
            }
            own = &record;
        }
    }
    if (own == nullptr && platform::IsPlainFile(platform::JoinPath(backupCopyFolder_, key)) &&
        !platform::PathExists(platform::JoinPath(sourceFolder_, key))) {
        SetOutcome(entry, true, "already removed");
        return true;
    }
    if (own == nullptr || own->path.text.find(fullName) == std::string::npos) {
        SetOutcome(entry, false, "not applied: no manifest record for this file");
        return false;
    }
    const std::string ownPath = own->path.text;
    std::vector<std::string> targets;
    for (const MbdbRecord& record : records) {
        if (record.path.text.find(ownPath) == std::string::npos) continue;
        if (!platform::IsPlainFile(platform::JoinPath(sourceFolder_, record.backupFileName))) {
            continue;
        }
        targets.push_back(record.backupFileName);
    }
    // Every file that leaves the backup keeps an untouched copy, so nothing is lost for good.
    for (const std::string& name : targets) {
        const std::string copy = platform::JoinPath(backupCopyFolder_, name);
        if (platform::IsPlainFile(copy)) continue;
        if (!platform::ReplaceFileWithCopy(platform::JoinPath(sourceFolder_, name), copy, false)) {
            SetOutcome(entry, false, "not applied: the file could not be copied");
            return false;
        }
    }
    if (targets.empty() || manifest_->RemoveRecords(domain, {ownPath}, false) != targets.size()) {
        SetOutcome(entry, false, "not applied: the backup file is missing");
        return false;
    }
    plan.remove.insert(plan.remove.end(), targets.begin(), targets.end());
    plan.pending.emplace_back(entry, "removed " + std::to_string(targets.size()) + " file(s)");
    plan.manifestChanged = true;
    return true;
}

bool CConfigureTool::Commit(const Planned& plan) {
    if (manifest_->Save().empty()) {
        ResetWorkingManifest();
        return false;
    }

    std::vector<std::string> replace;
    for (const std::string& name : plan.replace) {
        // A file that is also deleted needs no new content first.
        if (std::find(plan.remove.begin(), plan.remove.end(), name) == plan.remove.end()) {
            replace.push_back(name);
        }
    }
    CDicValueObj pending = CDicValueObj::MakeDictionary();
    pending.Set("Replace", StringArray(replace));
    pending.Set("Delete", StringArray(plan.remove));
    std::string bytes;
    writeBinary(pending, bytes);
    if (bytes.empty() || !platform::WriteFileAtomic(PendingListPath(), bytes)) {
        // The list is in place when only the folder's flush failed; while it is, the working
        // manifest must stay the one it finishes with.
        if (!platform::PathExists(PendingListPath()) || platform::RemoveFile(PendingListPath())) {
            ResetWorkingManifest();
        }
        return false;
    }

    if (!RollForward(replace, plan.remove)) {
        if (RollBack(replace, plan.remove) && platform::RemoveFile(PendingListPath())) {
            ResetWorkingManifest();
        }
        return false;
    }
    // Every change is in place; a pending list that stays (it could not be removed) is finished
    // again by the next run, which changes nothing more.
    return platform::RemoveFile(PendingListPath());
}

// The reverse order of RollForward: files come back before the manifest that lists them again,
// and the old manifest comes back before the old contents of the replaced files, so a crash here
// leaves each file old or new and the pending list still names the way forward.
bool CConfigureTool::RollBack(const std::vector<std::string>& replace,
                              const std::vector<std::string>& remove) {
    const auto restore = [&](std::string_view name) {
        const std::string copy = platform::JoinPath(backupCopyFolder_, name);
        const std::string target = platform::JoinPath(sourceFolder_, name);
        if (!platform::IsPlainFile(copy) || platform::SameFileContent(copy, target)) return true;
        return platform::ReplaceFileWithCopy(copy, target, false);
    };
    bool restored = true;
    for (const std::string& name : remove)
        restored = restore(name) && restored;
    restored = restored && restore(kManifestName);
    for (const std::string& name : replace)
        restored = restored && restore(name);
    return restored;
}

// The working manifest goes back to the untouched copy, and the records in memory with it.
void CConfigureTool::ResetWorkingManifest() {
    const std::string working = platform::JoinPath(restoreCopyFolder_, kManifestName);
    platform::ReplaceFileWithCopy(platform::JoinPath(backupCopyFolder_, kManifestName), working,
                                  false);
    manifest_ = std::make_unique<ManifestDataManager>(udid_, sourceFolder_, working);
}

bool CConfigureTool::RollForward(const std::vector<std::string>& replace,
                                 const std::vector<std::string>& remove) {
    for (const std::string& name : replace) {
        const std::string target = platform::JoinPath(sourceFolder_, name);
        if (!platform::IsPlainFile(target)) continue;  // only files the backup still has
        if (!platform::ReplaceFileWithCopy(platform::JoinPath(restoreCopyFolder_, name), target,
                                           false)) {
            return false;
        }
    }
    if (!platform::ReplaceFileWithCopy(platform::JoinPath(restoreCopyFolder_, kManifestName),
                                       platform::JoinPath(sourceFolder_, kManifestName), false)) {
        return false;
    }
    bool removed = true;
    for (const std::string& name : remove) {
        const std::string target = platform::JoinPath(sourceFolder_, name);
        if (!platform::IsPlainFile(target)) continue;
        removed = platform::RemoveFile(target) && removed;
    }
    return removed;
}

bool CConfigureTool::FinishInterruptedCompletion() {
    const std::string path = PendingListPath();
    if (path.empty() || !platform::IsFile(path) || sourceFolder_.empty() ||
        restoreCopyFolder_.empty()) {
        return true;
    }
    CDicValueObj pending;
    readPlistFromFile(path, pending);
    if (!RollForward(PlainNames(pending.Find("Replace")), PlainNames(pending.Find("Delete")))) {
        return false;
    }
    // A copy cut off before its rename left a temporary file in the backup folder.
    std::vector<platform::FolderEntry> entries;
    if (platform::ListFolder(sourceFolder_, entries)) {
        for (const platform::FolderEntry& entry : entries) {
            if (!entry.isFolder && entry.name.starts_with(platform::kReplaceTempPrefix)) {
                platform::RemoveFile(platform::JoinPath(sourceFolder_, entry.name));
            }
        }
    }
    return platform::RemoveFile(path);
}

// The file is replaced by a rename, never deleted first, so an earlier "BackupInfo.plist" stays
// whole until the new one is complete.
bool CConfigureTool::WriteBackupInfo() {
    const PlistDictionary* top = configuration_.Dictionary();
    if (top == nullptr || top->empty() || backupCopyFolder_.empty()) return false;
    std::string bytes;
    writeBinary(configuration_, bytes);
    if (bytes.empty()) return false;
    return platform::WriteFileAtomic(platform::JoinPath(backupCopyFolder_, kBackupInfoName), bytes);
}

}  // namespace bw
