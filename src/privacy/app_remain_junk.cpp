#include "privacy/app_remain_junk.h"

#include <algorithm>
#include <utility>

#include "backup/configure_tool.h"
#include "backup/manifest.h"
#include "device/app_install_proxy.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr std::string_view kAppDomainPrefix = "AppDomain-";
constexpr std::string_view kManifestName = "Manifest.mbdb";
constexpr uint16_t kFileTypeMask = 0xF000;
constexpr uint16_t kRegularFile = 0x8000;

// The bare "Library" and "Documents" folders every container has say nothing about the
// application; neither does a record without a path (the domain's own folder).
bool IsListedFile(const MbdbRecord& record) {
    const std::string& path = record.path.text;
    if (path.empty() || path == "Library" || path == "Documents") return false;
    return (record.mode & kFileTypeMask) == kRegularFile;
}

// As every file a deep clean takes out of the backup, each keeps an untouched copy in the backup
// copy folder first; a file whose copy cannot be made stays, unlisted, rather than be lost.
void RemoveKeepingCopies(const std::vector<std::string>& files, const std::string& copyFolder) {
    if (copyFolder.empty()) return;
    for (const std::string& file : files) {
        const std::string copy =
            platform::JoinPath(copyFolder, file.substr(file.find_last_of('/') + 1));
        if (platform::IsPlainFile(copy) || platform::ReplaceFileWithCopy(file, copy, false)) {
            platform::RemoveFile(file);
        }
    }
}

}  // namespace

std::vector<std::string> FindLeftoverIdentifiers(const std::set<std::string>& backupIdentifiers,
                                                 const std::vector<std::string>& installed) {
    std::vector<std::string> installedLower;
    for (const std::string& identifier : installed) {
        // An empty identifier would occur within every domain and hide them all.
        if (!identifier.empty()) installedLower.push_back(AsciiLower(identifier));
    }
    std::vector<std::string> leftovers;
    for (const std::string& identifier : backupIdentifiers) {
        const std::string lower = AsciiLower(identifier);
        if (lower.find("com.apple") != std::string::npos) continue;
        const bool isInstalled =
            std::any_of(installedLower.begin(), installedLower.end(),
                        [&](const std::string& id) { return lower.find(id) != std::string::npos; });
        if (!isInstalled) leftovers.push_back(identifier);
    }
    return leftovers;
}

std::string_view LeftoverFileCategory(std::string_view path) {
    const std::string_view first = path.substr(0, path.find('/'));
    for (std::string_view folder : {"Library", "Documents", "Preferences"}) {
        if (first == folder) return folder;
    }
    return "Unknown";
}

IAppRemainFileModel* CAppRemainModel::GetFile(int32_t index) {
    return ItemAt<IAppRemainFileModel>(files, index);
}

unsigned char CAppRemainModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

std::vector<std::string> CAppRemainManage::InstalledIdentifiers() const {
    std::vector<std::string> identifiers;
    if (device_ == nullptr) return identifiers;
    for (const InstalledApplication& application : ListInstalledApplications(*device_))
        identifiers.push_back(application.bundleIdentifier);
    return identifiers;
}

std::unique_ptr<CAppRemainModel> CAppRemainManage::ReadLeftover(ManifestDataManager& manifest,
                                                                const std::string& identifier) {
    auto leftover = std::make_unique<CAppRemainModel>();
    leftover->identifier = Utf8ToWide(identifier);
    leftover->identifierUtf8 = identifier;
    for (const MbdbRecord& record :
         manifest.ListDomainRecords(std::string(kAppDomainPrefix) + identifier)) {
        if (!IsListedFile(record)) continue;
        auto file = std::make_unique<CAppRemainFileModel>();
        file->name = Utf8ToWide(record.path.text);
        file->size = record.size;
        file->category = LeftoverFileCategory(record.path.text);
        leftover->totalSize += record.size;
        leftover->files.push_back(std::move(file));
    }
    return leftover;
}

std::vector<std::unique_ptr<CAppRemainModel>> CAppRemainManage::FindLeftovers(
    ManifestDataManager& manifest, const std::vector<std::string>& installed) {
    std::vector<std::unique_ptr<CAppRemainModel>> leftovers;
    const std::vector<std::string> identifiers =
        FindLeftoverIdentifiers(manifest.CollectAppDomains(), installed);
    const auto total = static_cast<uint32_t>(identifiers.size());
    for (const std::string& identifier : identifiers) {
        if (owner_->StopRequested()) break;
        owner_->SetMessageUtf8(identifier + "...");
        std::unique_ptr<CAppRemainModel> leftover = ReadLeftover(manifest, identifier);
        owner_->AdjustSelection(static_cast<uint32_t>(leftover->files.size()), leftover->totalSize,
                                true);
        leftovers.push_back(std::move(leftover));
        owner_->PublishProgress(static_cast<uint32_t>(leftovers.size()), total);
    }
    return leftovers;
}

void CAppRemainFilesJunk::Scan(CIPhone* device) {
    device_ = device;
    scanning_ = 1;
    ReleaseItems(kResultAppLeftovers);
    manage_ = std::make_unique<CAppRemainManage>(device, this);
    SetMessage(kMessagePreparing);
    ManifestDataManager* manifest = CConfigureTool::Instance().Manifest();
    const std::vector<std::string> installed =
        installedIdentifiers ? *installedIdentifiers : manage_->InstalledIdentifiers();
    // A device that answered with no applications at all is taken as one whose list could not
    // be read: every domain of the backup would otherwise be offered for removal.
    if (manifest != nullptr && !installed.empty()) {
        for (std::unique_ptr<CAppRemainModel>& leftover :
             manage_->FindLeftovers(*manifest, installed)) {
            Results(kResultAppLeftovers).Append<IAppRemainModel>(std::move(leftover));
        }
    }
    SetFinished();
}

// The records leave the working manifest, which then replaces the backup's manifest, and only
// then do the files go: the backup's manifest never names a file that is missing.
void CAppRemainFilesJunk::Clean() {
    scanning_ = 0;
    ResultList& leftovers = Results(kResultAppLeftovers);
    ManifestDataManager* manifest =
        leftovers.empty() ? nullptr : CConfigureTool::Instance().Manifest();
    if (manifest != nullptr) {
        SetMessage(kMessageCleaningUp);
        std::vector<CAppRemainModel*> selected;
        for (size_t i = 0; i < leftovers.size(); ++i) {
            CAppRemainModel* leftover = leftovers.At<CAppRemainModel>(i);
            if (leftover->Select(0) != 0) selected.push_back(leftover);
        }
        processed_ = 0;
        total_ = static_cast<uint32_t>(selected.size());
        std::vector<std::string> files;
        for (CAppRemainModel* leftover : selected) {
            SetMessage(leftover->identifier);
            if (!leftover->files.empty()) {
                std::vector<std::string> domainFiles = manifest->RemoveDomain(
                    std::string(kAppDomainPrefix) + leftover->identifierUtf8);
                files.insert(files.end(), std::make_move_iterator(domainFiles.begin()),
                             std::make_move_iterator(domainFiles.end()));
            }
            AdjustSelection(static_cast<uint32_t>(leftover->files.size()), leftover->totalSize,
                            false);
            ++processed_;
            WriteProgress();
        }
        const std::string backupManifest =
            platform::JoinPath(manifest->BackupFolder(), kManifestName);
        const bool inPlace = manifest->ManifestPath() == backupManifest;
        if (!files.empty() && !manifest->Save().empty() &&
            (inPlace ||
             platform::ReplaceFileWithCopy(manifest->ManifestPath(), backupManifest, false))) {
            RemoveKeepingCopies(files, CConfigureTool::Instance().BackupCopyFolder());
        }
    }
    SetTotals(0, 0, extraCounter_);
    AdjustSelection(0, 0, false);  // the shown count follows the selected count, now 0
    SetFinished();
}

}  // namespace bw
