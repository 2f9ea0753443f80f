// The device file service of CIPhone: paths, file information, folders, removal and whole-file
// copies over the AFC connection the object opened (or the application container it opened).
#include <charconv>
#include <cstdio>
#include <memory>
#include <string_view>

#include "device/iphone.h"
#include "device/iphone_file.h"
#include "device/iphone_operation.h"
#include "device/runtime_values.h"
#include "platform/environment.h"
#include "platform/files.h"

namespace bw {

namespace {

constexpr std::string_view kCrashReportService = "com.apple.crashreportcopymobile";

// Folders nest far less deeply on a device; a deeper walk is refused rather than risk the stack.
constexpr int kMaxRemoveDepth = 256;

uint64_t ParseUnsigned(std::string_view text) {
    uint64_t number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    return result.ec == std::errc() ? number : 0;
}

int32_t FileTypeCode(std::string_view format) {
    static constexpr std::pair<std::string_view, int32_t> kCodes[] = {
        {"S_IFREG", kDeviceFileRegular},
        {"S_IFDIR", kDeviceFolder},
        {"S_IFBLK", 3},
        {"S_IFCHR", 4},
        {"S_IFIFO", 5},
        {"S_IFLNK", kDeviceFileLink},
        {"S_IFMT", 7},
        {"S_IFSOCK", 8},
    };
    for (const auto& [name, code] : kCodes) {
        if (format == name) return code;
    }
    return 0;
}

bool IsDotEntry(std::string_view name) {
    return name == "." || name == "..";
}

// Reads the names of an open directory, without "." and "..", and closes it.
void ReadAndCloseDirectory(rt::AFCConnectionRef connection, rt::AFCDirectoryRef directory,
                           std::vector<std::string>& names) {
    std::string name;
    while (AfcReadDirectory(connection, directory, name) == 0 && !name.empty()) {
        if (!IsDotEntry(name)) names.push_back(name);
    }
    Runtime().AFCDirectoryClose(connection, directory);
}

// Fills `info` from the pairs of the device's answer, one at a time; of a key given twice the
// first value counts.
class InfoPairs {
  public:
    explicit InfoPairs(DeviceFileInfo& info) : info_(info) {}

    void Add(std::string_view key, std::string_view value) {
        if (key == "st_size") {
            if (Take(kSize)) info_.size = ParseUnsigned(value);
        } else if (key == "st_ifmt") {
            if (Take(kType)) info_.fileType = FileTypeCode(value);
        } else if (key == "st_mtime") {
            if (Take(kModified)) info_.modifiedTime = ParseUnsigned(value);
        } else if (key == "st_birthtime") {
            if (Take(kBirth)) info_.birthTime = ParseUnsigned(value);
        }
    }

  private:
    enum : unsigned { kSize = 1, kType = 2, kModified = 4, kBirth = 8 };
    bool Take(unsigned key) {
        if ((seen_ & key) != 0) return false;
        seen_ |= key;
        return true;
    }

    DeviceFileInfo& info_;
    unsigned seen_ = 0;
};

// A link that a folder opens through counts as a folder.
void ResolveLinkType(rt::AFCConnectionRef connection, DeviceFileInfo& info) {
    if (info.fileType != kDeviceFileLink) return;
    info.isLink = true;
    rt::AFCDirectoryRef directory = nullptr;
    if (AfcOpenDirectory(connection, info.path, &directory) == 0 && directory != nullptr) {
        info.fileType = kDeviceFolder;
        Runtime().AFCDirectoryClose(connection, directory);
    }
}

// The path of entry `name` of `folder` (a normalised device path), as JoinDevicePath gives it;
// a plain name is appended without splitting the folder again.
std::string EntryPath(const std::string& folder, std::string_view name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string_view::npos)
        return CIPhone::JoinDevicePath(folder, name);
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

void NameFromPath(DeviceFileInfo& info) {
    const size_t slash = info.path.rfind('/');
    info.name = slash == std::string::npos ? info.path : info.path.substr(slash + 1);
}

// One exchange for the whole folder when the runtime lists entries with their information.
// An entry without information is listed with its name and path only, as when its own query
// fails. False when the folder cannot be opened.
bool ListWithInfo(rt::AFCConnectionRef connection, const std::string& folder,
                  std::vector<DeviceFileInfo>& entries) {
    const RuntimeTable& runtime = Runtime();
    rt::AFCDirectoryRef directory = nullptr;
    if (runtime.BwSimDirectoryOpenWithInfo(connection, folder.c_str(), &directory) != 0 ||
        directory == nullptr)
        return false;
    char* name = nullptr;
    char* pairs = nullptr;
    while (runtime.BwSimDirectoryReadWithInfo(connection, directory, &name, &pairs) == 0 &&
           name != nullptr && *name != '\0') {
        const std::string_view entryName = name;
        if (IsDotEntry(entryName)) continue;
        DeviceFileInfo& info = entries.emplace_back();
        if (entryName.find_first_of("/\\") != std::string_view::npos) {
            // The name leads elsewhere once joined (a backslash is a separator on the way to
            // the device): that path is asked for, as a listing without information would.
            ReadDeviceFileInfo(connection, EntryPath(folder, entryName), info);
            continue;
        }
        info.path = EntryPath(folder, entryName);
        NameFromPath(info);
        if (pairs == nullptr || *pairs == '\0') continue;
        InfoPairs fill(info);
        for (const char* at = pairs; *at != '\0';) {
            const std::string_view key = at;
            const std::string_view value = at + key.size() + 1;
            fill.Add(key, value);
            at = value.data() + value.size() + 1;
        }
        info.infoRead = true;
        ResolveLinkType(connection, info);
    }
    runtime.AFCDirectoryClose(connection, directory);
    return true;
}

}  // namespace

bool ReadDeviceFileInfo(rt::AFCConnectionRef connection, const std::string& devicePath,
                        DeviceFileInfo& info) {
    info = DeviceFileInfo{};
    info.path = devicePath;
    const size_t slash = devicePath.rfind('/');
    info.name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    if (!RuntimeLoaded() || connection == nullptr) return false;

    const RuntimeTable& runtime = Runtime();
    rt::AFCKeyValueRef values = nullptr;
    if (runtime.AFCFileInfoOpen(connection, devicePath.c_str(), &values) != 0) return false;
    if (values != nullptr) {
        InfoPairs fill(info);
        char* key = nullptr;
        char* value = nullptr;
        while (runtime.AFCKeyValueRead(values, &key, &value) == 0 && key != nullptr &&
               value != nullptr) {
            fill.Add(key, value);
            key = value = nullptr;
        }
        if (runtime.AFCKeyValueClose != nullptr) runtime.AFCKeyValueClose(values);
    }
    info.infoRead = true;
    ResolveLinkType(connection, info);
    return true;
}

// "." parts are dropped like empty ones: they name the folder they stand in.
std::string CIPhone::JoinDevicePath(std::string_view base, std::string_view path) {
    std::string joined;
    if (!path.empty() && (path.front() == '/' || path.front() == '\\')) {
        joined = path;
    } else {
        joined = base.empty() ? "/" : std::string(base);
        joined += '/';
        joined += path.empty() ? "/" : path;
    }
    for (char& c : joined) {
        if (c == '\\') c = '/';
    }
    std::vector<std::string_view> parts;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty()) return "/";
    std::string result;
    for (const std::string_view part : parts) {
        result += '/';
        result += part;
    }
    return result;
}

std::string CIPhone::MakeDevicePath(std::string_view path) const {
    return JoinDevicePath(rootPath, path);
}

bool CIPhone::GetFileInfo(rt::AFCConnectionRef connection, const std::string& devicePath,
                          DeviceFileInfo& info) {
    DeviceOperation operation(*this);
    if (!operation) {
        ReadDeviceFileInfo(nullptr, devicePath, info);  // fills path and name only
        return false;
    }
    return ReadDeviceFileInfo(connection, devicePath, info);
}

bool CIPhone::FileExists(std::string_view path) {
    DeviceFileInfo info;
    return GetFileInfo(afcConnection, MakeDevicePath(path), info);
}

bool CIPhone::IsDirectory(std::string_view path) {
    DeviceFileInfo info;
    return GetFileInfo(afcConnection, MakeDevicePath(path), info) && info.fileType == kDeviceFolder;
}

bool CIPhone::GetPathInfo(std::string_view folder, std::string_view name, DeviceFileInfo& info) {
    return GetFileInfo(afcConnection, JoinDevicePath(folder, name), info);
}

bool CIPhone::OpenDirectory(std::string_view path, rt::AFCDirectoryRef& directory) {
    directory = nullptr;
    DeviceOperation operation(*this);
    if (!operation) return false;
    if (AfcOpenDirectory(afcConnection, MakeDevicePath(path), &directory) != 0 ||
        directory == nullptr) {
        directory = nullptr;
        return false;
    }
    return true;
}

bool CIPhone::ListDirectory(std::string_view path, std::vector<std::string>& names) {
    DeviceOperation operation(*this);
    rt::AFCDirectoryRef directory = nullptr;
    if (!operation || !OpenDirectory(path, directory)) return false;
    ReadAndCloseDirectory(afcConnection, directory, names);
    return true;
}

bool CIPhone::ListDirectoryInfo(std::string_view path, std::vector<DeviceFileInfo>& entries) {
    DeviceOperation operation(*this);
    if (!operation) return false;
    const std::string folder = MakeDevicePath(path);
    const RuntimeTable& runtime = Runtime();
    if (runtime.BwSimDirectoryOpenWithInfo != nullptr &&
        runtime.BwSimDirectoryReadWithInfo != nullptr)
        return ListWithInfo(afcConnection, folder, entries);
    std::vector<std::string> names;
    if (!ListDirectory(path, names)) return false;
    entries.reserve(entries.size() + names.size());
    for (const std::string& name : names) {
        DeviceFileInfo& info = entries.emplace_back();
        // An entry whose information cannot be read is still listed, with its name and path.
        ReadDeviceFileInfo(afcConnection, EntryPath(folder, name), info);
    }
    return true;
}

bool CIPhone::MakeDirectory(std::string_view path) {
    DeviceOperation operation(*this);
    if (!operation || AfcMakeDirectory(afcConnection, MakeDevicePath(path)) != 0) return false;
    lastResult = 0;
    return true;
}

bool CIPhone::RemovePath(std::string_view path) {
    DeviceOperation operation(*this);
    if (!operation || !FileExists(path)) return false;
    return AfcRemovePath(afcConnection, MakeDevicePath(path)) == 0;
}

bool CIPhone::RemoveDevicePath(const std::string& devicePath) {
    DeviceOperation operation(*this);
    return operation && AfcRemovePath(afcConnection, devicePath) == 0;
}

// Links are removed themselves and never followed: a link to a folder outside the tree would
// otherwise have that folder's contents deleted with it.
bool CIPhone::RemoveContents(const std::string& folder, int depth) {
    if (depth > kMaxRemoveDepth) return false;
    std::vector<DeviceFileInfo> entries;
    if (!ListDirectoryInfo(folder, entries)) return false;
    bool removedAll = true;
    for (const DeviceFileInfo& entry : entries) {
        if (entry.isLink || entry.fileType == kDeviceFileRegular) {
            removedAll &= AfcRemovePath(afcConnection, entry.path) == 0;
        } else if (entry.fileType == kDeviceFolder) {
            removedAll &= RemoveContents(entry.path, depth + 1) &&
                          AfcRemovePath(afcConnection, entry.path) == 0;
        } else {
            removedAll = false;  // devices and sockets are left where they are
        }
    }
    return removedAll;
}

bool CIPhone::RemoveTree(std::string_view path) {
    DeviceOperation operation(*this);
    if (!operation) return false;
    const std::string devicePath = MakeDevicePath(path);
    DeviceFileInfo info;
    if (!ReadDeviceFileInfo(afcConnection, devicePath, info)) return false;
    if (info.fileType == kDeviceFolder && !info.isLink) {
        RemoveContents(devicePath, 0);
    }
    return AfcRemovePath(afcConnection, devicePath) == 0;
}

// The host file is replaced only once every byte arrived (see platform::ReplaceFile): a
// cancelled or failed copy never leaves a half file where the user asked for one, and an
// existing file of that name stays as it was.
bool CIPhone::CopyFileFromDevice(std::string_view devicePath, const std::string& hostPath,
                                 bool durable) {
    DeviceOperation operation(*this);
    cancelCopy.store(0);
    // A retirement that raced with the line above must still stop the copy.
    if (!operation || hostPath.empty() || IsRetired()) return false;

    CiPhoneFile source(afcConnection, MakeDevicePath(devicePath), rt::kAfcModeRead);
    if (source.status != 0) {
        source.Close();
        lastResult = 1;
        return false;
    }
    const bool copied = platform::ReplaceFile(
        hostPath,
        [&](const platform::ByteSink& sink) {
            const auto buffer = std::make_unique<char[]>(kCopyBlockSize);
            while (cancelCopy.load() == 0) {
                const int64_t count = source.Read(buffer.get(), kCopyBlockSize);
                if (count <= 0) return count == 0;
                if (!sink(std::string_view(buffer.get(), static_cast<size_t>(count)))) return false;
            }
            return false;
        },
        durable ? platform::Flush::kDurable : platform::Flush::kWorkingCopy);
    source.Close();
    return copied;
}

bool CIPhone::CopyFileToDevice(const std::string& hostPath, std::string_view devicePath) {
    DeviceOperation operation(*this);
    if (!operation) return false;
    std::optional<platform::FileReader> source = platform::FileReader::Open(hostPath);
    if (!source) return false;

    CiPhoneFile target(afcConnection, MakeDevicePath(devicePath), rt::kAfcModeWrite);
    if (target.status != 0) {
        lastResult = 1;
        return false;
    }
    const auto buffer = std::make_unique<char[]>(kCopyBlockSize);
    bool complete = true;
    for (;;) {
        const int64_t count = source->Read(buffer.get(), kCopyBlockSize);
        if (count <= 0) {
            complete = count == 0;
            break;
        }
        if (!target.Write(buffer.get(), static_cast<size_t>(count))) {
            complete = false;
            break;
        }
    }
    lastResult = 0;
    target.Close();
    return complete;
}

void CIPhone::CancelCopy() {
    cancelCopy.store(1);
}

bool CIPhone::OpenAppContainer(const std::string& bundleIdentifier) {
    DeviceOperation operation(*this);
    if (!operation) return false;
    // One container at a time: a previous one is closed first, so that a failed open below
    // leaves the file operations on the file service rather than on a closed connection.
    CloseAppContainer();
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return false;
    if (runtime.AMDeviceStartSession(device) != 0) {
        runtime.AMDeviceDisconnect(device);
        return false;
    }
    const CFString identifier = MakeCFString(bundleIdentifier);
    if (runtime.AMDeviceStartHouseArrestService(device, identifier.get(), nullptr,
                                                &containerService, nullptr) != 0) {
        containerService = nullptr;
        EndShortQuery();
        return false;
    }
    if (runtime.AFCConnectionOpen(containerService, 0, &containerAfc) != 0) {
        containerAfc = nullptr;
        CloseServiceHandle(containerService);
        containerService = nullptr;
        EndShortQuery();
        return false;
    }
    afcConnection = containerAfc;
    return true;
}

void CIPhone::CloseAppContainer() {
    DeviceOperation operation(*this);
    if (!operation || containerAfc == nullptr) return;
    // The AFC connection closes the house-arrest service connection under it.
    Runtime().AFCConnectionClose(containerAfc);
    containerAfc = nullptr;
    containerService = nullptr;
    afcConnection = currentAfc;
}

rt::AFCConnectionRef CIPhone::OpenCrashReportService() {
    DeviceOperation operation(*this);
    if (!operation) return nullptr;
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return nullptr;
    const auto fail = [&](bool stopSession) -> rt::AFCConnectionRef {
        if (stopSession) runtime.AMDeviceStopSession(device);
        runtime.AMDeviceDisconnect(device);
        return nullptr;
    };
    if (runtime.AMDeviceIsPaired(device) == 0 && runtime.AMDevicePair(device) != 0) {
        return fail(false);
    }
    if (runtime.AMDeviceValidatePairing(device) != 0 && runtime.AMDevicePair(device) != 0) {
        return fail(false);
    }
    if (runtime.AMDeviceStartSession(device) != 0) return fail(false);
    rt::ServiceHandle service = nullptr;
    if (StartDeviceService(device, kCrashReportService, &service) != 0) return fail(true);
    rt::AFCConnectionRef connection = nullptr;
    if (runtime.AFCConnectionOpen(service, 0, &connection) != 0) {
        CloseServiceHandle(service);
        return fail(true);
    }
    return connection;
}

bool CIPhone::ListCrashReports(rt::AFCConnectionRef connection, const std::string& folder,
                               std::vector<std::string>& names) {
    DeviceOperation operation(*this);
    if (!operation || connection == nullptr) return false;
    rt::AFCDirectoryRef directory = nullptr;
    if (AfcOpenDirectory(connection, folder, &directory) != 0 || directory == nullptr) {
        return false;
    }
    ReadAndCloseDirectory(connection, directory, names);
    return true;
}

bool CIPhone::RemoveCrashReport(rt::AFCConnectionRef connection, const std::string& path) {
    DeviceOperation operation(*this);
    if (!operation || connection == nullptr) return false;
    std::string devicePath = path;
    for (char& c : devicePath) {
        if (c == '\\') c = '/';
    }
    return AfcRemovePath(connection, devicePath) == 0;
}

}  // namespace bw
