// CIPhone: one connected iOS device. The connection listener makes one for each arriving device;
// its construction opens the device (pairing, a short session, the identity values, the file
// service) and every later operation opens and closes its own lockdown session, except the file
// service, which keeps its AFC connection for the life of the object.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/runtime_types.h"

namespace bw {

class CDicValueObj;
class CiPhoneFile;

// Called on the sync host's message thread with each "assetmetrics" message; true ends the
// thread's loop.
using AssetMetricsHandler = bool (*)(const CDicValueObj& message);

// What ReadDiskInfo reads from the file service's device information; a value the device does
// not give leaves its field.
struct DiskInfo {
    std::string model;  // "Model"
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t blockSize = 0;
};

// What GetFileInfo reads about one device path. The scanners' own records add the text fields
// they need; this record holds only what the file service fills.
struct DeviceFileInfo {
    uint64_t birthTime = 0;     // "st_birthtime", nanoseconds since 1970
    uint64_t modifiedTime = 0;  // "st_mtime", nanoseconds since 1970
    std::string name;           // the last part of the path
    std::string path;           // the full device path asked for
    uint64_t size = 0;          // "st_size"
    int32_t fileType = 0;       // kDeviceFile... below; 0 when unknown
    // Not part of the device's answer: whether the information could be read at all, and whether
    // the path is a link (a link to a folder reports kDeviceFolder). Removal never follows links.
    bool infoRead = false;
    bool isLink = false;
};

inline constexpr int32_t kDeviceFileRegular = 1;
inline constexpr int32_t kDeviceFolder = 2;
inline constexpr int32_t kDeviceFileLink = 6;

// Block size of whole-file copies: one AFC read or write per block, one buffer per copy.
inline constexpr size_t kCopyBlockSize = 524288;

// The file service a CIPhone opens.
inline constexpr int32_t kKindRestoreMode = 0;
inline constexpr int32_t kKindMediaArea = 1;       // "com.apple.afc"
inline constexpr int32_t kKindFullFileSystem = 2;  // "com.apple.afc2"

class CIPhone {
  public:
    // An empty object, as restore-mode notifications make them; the listener sets `device`.
    CIPhone();
    // Opens the device (see Open); `opened` and `ready` tell how it went.
    CIPhone(rt::AMDeviceRef device, int32_t kind, bool acceptNetworkDevices);
    // Closes what the object still has open.
    virtual ~CIPhone();

    CIPhone(const CIPhone&) = delete;
    CIPhone& operator=(const CIPhone&) = delete;

    // Fields, in the order the device layer describes them.
    int32_t kind = kKindRestoreMode;
    rt::AFCConnectionRef currentAfc = nullptr;
    rt::AFCConnectionRef containerAfc = nullptr;
    rt::ServiceHandle containerService = nullptr;
    int32_t interfaceType = 0;
    std::string rootPath = "/";
    std::string firmwareVersion;
    rt::ServiceHandle notificationProxy = nullptr;
    std::string productVersion;
    std::string udid;
    uint8_t acceptNetworkDevices = 0;
    int32_t lastResult = 0;
    rt::AMDServiceConnectionRef serviceConnection = nullptr;
    rt::AMDeviceRef device = nullptr;
    std::atomic<uint8_t> cancelCopy{0};
    rt::AFCConnectionRef afcConnection = nullptr;
    // Read by other threads (WaitForDevice, the host) while the creating thread writes them.
    std::atomic<uint8_t> ready{0};
    std::atomic<uint8_t> busy{0};
    uint8_t fullFileSystem = 0;
    CIPhone* fullFileSystemTwin = nullptr;
    std::string serialNumber;
    std::map<std::string, std::string> valueCache;
    // The AirTraffic connection of the sync host (null when none). The message thread reads it
    // while the thread that ends the connection clears it.
    std::atomic<rt::ATHostConnectionRef> syncHost{nullptr};
    uint8_t opened = 0;

    // Session and identity.
    bool ConnectAndStartSession();
    void CloseSession();
    bool ReadBackupIdentity(std::map<std::string, std::string>& identity);
    bool ReadITunesDomain(CDicValueObj& domain);
    bool WillNotEncryptBackup();
    bool IsFindMyPhoneOn();
    bool SetDeviceValue(const std::string& key, const std::string& value);
    // The text of one lockdown value (strings as they are, integers in decimal, booleans as
    // "true"/"false") read in a short session; "UniqueDeviceID" without a domain answers `udid`.
    std::string ReadDeviceValueText(std::string_view domain, std::string_view key);

    // Device information (device_information.cpp). ReadDiskInfo also refreshes valueCache.
    bool ReadDiskInfo(DiskInfo& disk);
    void ReadDeviceInformation();
    // A copy of one cached value; read under the object's lock, so safe beside its operations.
    std::optional<std::string> CachedValue(std::string_view key);

    // Utility services (device_utilities.cpp).
    bool ConnectPairAndStartSession();
    // Asks the diagnostics service for a restart; the session stays open for CloseSession.
    bool RequestRestart();
    // True once the screenshot service was started; `image` holds what the device sent, and
    // stays empty when the exchange failed after that.
    bool TakeScreenshot(std::string& image);
    // Unlocks and closes the sync lock file, then tells the device the sync finished.
    void PostSyncDidFinish(CiPhoneFile& lockFile);
    // Opens the AirTraffic connection and starts its message thread (see sync_host.h).
    bool StartSyncHost(AssetMetricsHandler handler);

    // Device paths: "/" separates (a backslash counts as one); an empty base or path counts as
    // "/"; a path beginning with "/" stands alone; empty and "." parts are dropped and ".." drops
    // the part before it.
    static std::string JoinDevicePath(std::string_view base, std::string_view path);
    std::string MakeDevicePath(std::string_view path) const;

    // File service (paths relative to rootPath unless said otherwise).
    bool GetFileInfo(rt::AFCConnectionRef connection, const std::string& devicePath,
                     DeviceFileInfo& info);
    bool FileExists(std::string_view path);
    bool IsDirectory(std::string_view path);
    bool GetPathInfo(std::string_view folder, std::string_view name, DeviceFileInfo& info);
    // On success the caller reads with AFCDirectoryRead and closes with AFCDirectoryClose.
    bool OpenDirectory(std::string_view path, rt::AFCDirectoryRef& directory);
    bool ListDirectory(std::string_view path, std::vector<std::string>& names);
    bool ListDirectoryInfo(std::string_view path, std::vector<DeviceFileInfo>& entries);
    bool MakeDirectory(std::string_view path);
    bool RemovePath(std::string_view path);
    bool RemoveDevicePath(const std::string& devicePath);  // not joined to rootPath
    bool RemoveTree(std::string_view path);
    // True only when the whole file arrived; the host file appears only then. A working copy
    // (`durable` false) is not flushed to the disk.
    bool CopyFileFromDevice(std::string_view devicePath, const std::string& hostPath,
                            bool durable = true);
    bool CopyFileToDevice(const std::string& hostPath, std::string_view devicePath);
    // Safe from any thread: stops a running CopyFileFromDevice after its current block.
    void CancelCopy();

    // House arrest: afterwards the file operations work inside the application's container,
    // and the lockdown session stays open until CloseSession.
    bool OpenAppContainer(const std::string& bundleIdentifier);
    // Closes the container connection and returns the file operations to the file service.
    void CloseAppContainer();
    // The crash-report area's AFC connection, or null. The session stays open; the caller ends
    // it with AFCConnectionClose, AMDeviceStopSession and AMDeviceDisconnect.
    rt::AFCConnectionRef OpenCrashReportService();
    bool ListCrashReports(rt::AFCConnectionRef connection, const std::string& folder,
                          std::vector<std::string>& names);
    bool RemoveCrashReport(rt::AFCConnectionRef connection, const std::string& path);

    // Called by the listener when the device left: closes every connection the object holds and
    // makes every later operation fail, while the object itself stays valid.
    void Retire();
    bool IsRetired() const { return retired_.load(); }
    // Forgets the connections without closing them: only for freeing objects at process exit,
    // when the runtime may already be gone.
    void Abandon();

  private:
    friend class DeviceOperation;

    bool Open();
    bool OpenWired();
    bool OpenNetwork();
    // False for a device whose identifier could not name its backup folders safely.
    bool ReadIdentityValues();
    bool StartFileService(rt::ServiceHandle& handle);
    // The short-query pattern: connect and start a session without pairing.
    bool BeginShortQuery();
    void EndShortQuery();
    bool RemoveContents(const std::string& folder, int depth);
    void CloseConnections();

    // Serialises operations on this object with its retirement on the notification thread.
    std::recursive_mutex operationMutex_;
    std::atomic<bool> retired_{false};
    // The service handle the file service's AFC connection was opened on.
    rt::ServiceHandle afcService_ = nullptr;
};

}  // namespace bw
