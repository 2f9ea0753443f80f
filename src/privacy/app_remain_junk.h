// Data that a device backup still holds for applications no longer installed on the device: each
// "AppDomain-<identifier>" of the manifest whose identifier belongs to no installed application,
// with its files. The clean takes the selected leftovers' records and files out of the backup.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/privacy.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class ManifestDataManager;

// The identifiers of `backupIdentifiers` that are leftovers, in their order: compared in lower
// case, an identifier holding "com.apple", or holding any installed identifier, is not one.
std::vector<std::string> FindLeftoverIdentifiers(const std::set<std::string>& backupIdentifiers,
                                                 const std::vector<std::string>& installed);

// "Library", "Documents" or "Preferences" for a path whose first component is that folder,
// "Unknown" for any other: how the host may sort a leftover's files for display.
std::string_view LeftoverFileCategory(std::string_view path);

class CAppRemainFileModel : public IAppRemainFileModel {
  public:
    size_t GetName(BwChar* buffer) override { return CopyTextOut(name, buffer); }
    uint64_t GetSize() override { return size; }

    std::u16string name;
    uint64_t size = 0;
    std::string_view category;
};

class CAppRemainModel : public IAppRemainModel {
  public:
    IAppRemainFileModel* GetFile(int32_t index) override;
    size_t GetIdentifier(BwChar* buffer) override { return CopyTextOut(identifier, buffer); }
    uint64_t GetTotalSize() override { return totalSize; }
    int32_t GetFileCount() override { return static_cast<int32_t>(files.size()); }
    unsigned char Select(unsigned char toggle) override;

    std::u16string identifier;
    std::string identifierUtf8;  // the domain's own bytes, by which the clean finds it again
    uint64_t totalSize = 0;
    uint8_t selected = 1;
    std::vector<std::unique_ptr<CAppRemainFileModel>> files;
};

class CAppRemainManage {
  public:
    CAppRemainManage(CIPhone* device, CDeviceJunk* owner) : device_(device), owner_(owner) {}
    CAppRemainManage(const CAppRemainManage&) = delete;
    CAppRemainManage& operator=(const CAppRemainManage&) = delete;
    virtual ~CAppRemainManage() = default;

    // The leftovers of `manifest` against the installed identifiers, in identifier order, each
    // with its files; the owner's status record receives the counts and the progress.
    std::vector<std::unique_ptr<CAppRemainModel>> FindLeftovers(
        ManifestDataManager& manifest, const std::vector<std::string>& installed);
    // The installed applications' identifiers as the device lists them (empty without a device).
    std::vector<std::string> InstalledIdentifiers() const;

  private:
    std::unique_ptr<CAppRemainModel> ReadLeftover(ManifestDataManager& manifest,
                                                  const std::string& identifier);

    CIPhone* device_;
    CDeviceJunk* owner_;
};

class CAppRemainFilesJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    uint8_t Scanning() const { return scanning_; }

    // When set, the installed identifiers a scan compares with instead of asking the device: a
    // host-side list, or a test's.
    std::optional<std::vector<std::string>> installedIdentifiers;

  private:
    uint8_t scanning_ = 0;
    std::unique_ptr<CAppRemainManage> manage_;
};

}  // namespace bw
