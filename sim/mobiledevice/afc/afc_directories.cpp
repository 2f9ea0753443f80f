// Folders: listings, creation, removal and renaming.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "afc/afc_connection.h"
#include "afc/afc_path.h"
#include "counters.h"
#include "failures.h"
#include "status.h"

using namespace bw::sim::md;

namespace {

void AddName(Listing& listing, std::string_view name) {
    listing.starts.push_back(static_cast<uint32_t>(listing.names.size()));
    listing.names.append(name);
    listing.names.push_back('\0');
}

void DescribeEntries(int folder, Listing& listing, std::string_view path) {
    listing.informationAt.reserve(listing.starts.size());
    std::string name;
    std::string entryPath;
    for (size_t i = 0; i < listing.starts.size(); ++i) {
        listing.informationAt.push_back(static_cast<uint32_t>(listing.information.size()));
        name = listing.names.data() + listing.starts[i];
        bool described = false;
        if (i >= 2) {
            std::optional<int> failure;
            if (AnyArmed()) {
                entryPath.assign(path);
                if (entryPath.empty() || entryPath.back() != '/') entryPath.push_back('/');
                entryPath += name;
                failure = TakeFailure("AFCFileInfoOpen", entryPath.c_str());
            }
            described =
                !failure && AppendFileInformation(folder, name, listing.information) == kAfcSuccess;
        }
        if (!described) listing.information.push_back('\0');
    }
}

// Reads every name at once (only names: nothing is looked up per entry, so large folders list
// quickly). HFS+ keeps a folder's entries sorted, so the names come in byte order, after "." and
// "..", which a device lists first in every folder, its root included.
// With information, each entry is described as AFCFileInfoOpen of its path would describe it
// (a failure armed for that call leaves the entry without information, as it would leave the
// call failing); "." and ".." carry none.
int ReadListing(UniqueFd folder, Listing& listing, std::string_view path) {
    DIR* stream = ::fdopendir(folder.get());
    if (stream == nullptr) return AfcStatusFromErrno(errno);
    (void)folder.release();
    AddName(listing, ".");
    AddName(listing, "..");
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") AddName(listing, name);
        errno = 0;
    }
    const int error = errno;
    if (error != 0) {
        ::closedir(stream);
        return AfcStatusFromErrno(error);
    }
    const char* names = listing.names.data();
    std::sort(listing.starts.begin() + 2, listing.starts.end(),
              [names](uint32_t a, uint32_t b) { return std::strcmp(names + a, names + b) < 0; });
    if (listing.withInformation) DescribeEntries(::dirfd(stream), listing, path);
    ::closedir(stream);
    return kAfcSuccess;
}

int ResolveWith(AFCConnectionRef connection, const char* path, LastLink last, bool createFolders,
                ResolvedPath& entry) {
    if (path == nullptr) return kAfcInvalidArgument;
    std::shared_ptr<AfcConnection> found;
    if (const int status = UsableConnection(connection, found); status != kAfcSuccess)
        return status;
    return ResolvePath(found->root(), path, last, createFolders, entry);
}

int OpenListing(AFCConnectionRef connection, const char* path, bool withInformation,
                AFCDirectoryRef* outDirectory) {
    if (outDirectory == nullptr) return kAfcInvalidArgument;
    ResolvedPath entry;
    if (const int status = ResolveWith(connection, path, LastLink::Follow, false, entry);
        status != kAfcSuccess)
        return status;
    const char* name = entry.name.empty() ? "." : entry.name.c_str();
    UniqueFd folder(::openat(entry.parent.get(), name,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!folder.valid()) {
        // A device refuses to list anything that is not a folder.
        return errno == ENOTDIR ? kAfcInvalidArgument : AfcStatusFromErrno(errno);
    }
    auto listing = std::make_shared<Listing>();
    listing->connection = connection;
    listing->withInformation = withInformation;
    if (const int status = ReadListing(std::move(folder), *listing, path); status != kAfcSuccess)
        return status;
    ++GlobalCounters().directories;
    *outDirectory = reinterpret_cast<AFCDirectoryRef>(Listings().Add(std::move(listing)));
    return kAfcSuccess;
}

}  // namespace

extern "C" {

int AFCDirectoryOpen(AFCConnectionRef connection, const char* path, AFCDirectoryRef* outDirectory) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    return OpenListing(connection, path, false, outDirectory);
}

int BwSimDirectoryOpenWithInfo(AFCConnectionRef connection, const char* path,
                               AFCDirectoryRef* outDirectory) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    return OpenListing(connection, path, true, outDirectory);
}

int BwSimDirectoryReadWithInfo(AFCConnectionRef connection, AFCDirectoryRef directory,
                               char** outName, char** outInfo) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outName == nullptr || outInfo == nullptr) return kAfcInvalidArgument;
    *outName = nullptr;
    *outInfo = nullptr;
    const std::shared_ptr<Listing> listing = Listings().Find(directory);
    if (listing == nullptr || listing->connection != connection || !listing->withInformation)
        return kAfcInvalidArgument;
    std::lock_guard<std::mutex> lock(listing->mutex);
    if (listing->next < listing->starts.size()) {
        *outInfo = listing->information.data() + listing->informationAt[listing->next];
        *outName = listing->names.data() + listing->starts[listing->next++];
    }
    return kAfcSuccess;
}

// The listing was taken when the folder was opened, so reading it needs no device.
int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char** outName) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outName == nullptr) return kAfcInvalidArgument;
    *outName = nullptr;
    const std::shared_ptr<Listing> listing = Listings().Find(directory);
    if (listing == nullptr || listing->connection != connection) return kAfcInvalidArgument;
    std::lock_guard<std::mutex> lock(listing->mutex);
    if (listing->next < listing->starts.size())
        *outName = listing->names.data() + listing->starts[listing->next++];
    return kAfcSuccess;
}

int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    const std::shared_ptr<Listing> listing = Listings().Find(directory);
    if (listing == nullptr || listing->connection != connection ||
        Listings().Remove(directory) == nullptr)
        return kAfcInvalidArgument;
    --GlobalCounters().directories;
    return kAfcSuccess;
}

int AFCDirectoryCreate(AFCConnectionRef connection, const char* path) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    ResolvedPath entry;
    if (const int status = ResolveWith(connection, path, LastLink::Follow, true, entry);
        status != kAfcSuccess)
        return status;
    if (entry.name.empty()) return kAfcSuccess;  // the root, or a folder a link led to
    if (::mkdirat(entry.parent.get(), entry.name.c_str(), 0755) == 0) return kAfcSuccess;
    const int error = errno;
    struct stat info {};
    if (error == EEXIST &&
        ::fstatat(entry.parent.get(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode))
        return kAfcSuccess;
    return AfcStatusFromErrno(error);
}

int AFCRemovePath(AFCConnectionRef connection, const char* path) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    ResolvedPath entry;
    if (const int status = ResolveWith(connection, path, LastLink::Keep, false, entry);
        status != kAfcSuccess)
        return status;
    if (entry.name.empty()) return kAfcPermissionDenied;  // the service's root stays
    if (::unlinkat(entry.parent.get(), entry.name.c_str(), 0) == 0) return kAfcSuccess;
    if (errno != EISDIR) return AfcStatusFromErrno(errno);
    if (::unlinkat(entry.parent.get(), entry.name.c_str(), AT_REMOVEDIR) == 0) return kAfcSuccess;
    return errno == EEXIST ? kAfcDirectoryNotEmpty : AfcStatusFromErrno(errno);
}

int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to) {
    if (const auto failure = TakeFailure(__func__, from)) return *failure;
    if (to == nullptr) return kAfcInvalidArgument;
    ResolvedPath source;
    ResolvedPath target;
    if (const int status = ResolveWith(connection, from, LastLink::Keep, false, source);
        status != kAfcSuccess)
        return status;
    if (const int status = ResolveWith(connection, to, LastLink::Keep, false, target);
        status != kAfcSuccess)
        return status;
    if (source.name.empty() || target.name.empty()) return kAfcPermissionDenied;
    if (::renameat(source.parent.get(), source.name.c_str(), target.parent.get(),
                   target.name.c_str()) != 0)
        return AfcStatusFromErrno(errno);
    return kAfcSuccess;
}

}  // extern "C"
