// Open files: AFCFileRef numbers over host file descriptors. Reads and writes go straight
// between the caller's buffer and the file, with no copy and no allocation per call.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "afc/afc_connection.h"
#include "afc/afc_path.h"
#include "channel.h"
#include "failures.h"
#include "phone_photos/photo_store.h"
#include "status.h"

using namespace bw::sim::md;

namespace {

// G2/G3: callers declare modes, lengths and positions with different widths, so only the low
// 32 bits are read, and only 32 bits are written back (little-endian: the low half comes first).
uint32_t Low32(uint64_t value) {
    return static_cast<uint32_t>(value);
}

uint32_t ReadLow32(const void* from) {
    uint32_t value = 0;
    std::memcpy(&value, from, sizeof value);
    return value;
}

void WriteLow32(void* to, uint64_t value) {
    const uint32_t low = Low32(value);
    std::memcpy(to, &low, sizeof low);
}

int OpenFlags(uint32_t mode) {
    switch (mode) {
        case 1:
            return O_RDONLY;
        case 2:
            return O_RDWR | O_CREAT;
        case 3:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case 4:
            return O_RDWR | O_CREAT | O_TRUNC;
        case 5:
            return O_WRONLY | O_APPEND | O_CREAT;
        case 6:
            return O_RDWR | O_APPEND | O_CREAT;
        default:
            return -1;
    }
}

// The open file behind (connection, file) when requests can reach it; otherwise an AFC status.
int UsableFile(AFCConnectionRef connection, AFCFileRef file, std::shared_ptr<OpenFile>& out) {
    std::shared_ptr<AfcConnection> found;
    if (const int status = UsableConnection(connection, found); status != kAfcSuccess)
        return status;
    out = found->FindFile(file);
    return out != nullptr ? kAfcSuccess : kAfcInvalidArgument;
}

// Opens the resolved entry; only regular files are opened, so that a FIFO or device node in an
// image can never block or reach the host's devices.
int OpenEntry(const ResolvedPath& entry, int flags, UniqueFd& out) {
    if (entry.name.empty()) return kAfcIsDirectory;
    struct stat before {};
    if (::fstatat(entry.parent.get(), entry.name.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(before.st_mode)) return kAfcIsDirectory;
        if (!S_ISREG(before.st_mode)) return kAfcPermissionDenied;
    }
    UniqueFd fd(::openat(entry.parent.get(), entry.name.c_str(),
                         flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd.valid()) return AfcStatusFromErrno(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return AfcStatusFromErrno(errno);
    if (S_ISDIR(info.st_mode)) return kAfcIsDirectory;
    if (!S_ISREG(info.st_mode)) return kAfcPermissionDenied;
    if (::fcntl(fd.get(), F_SETFL, flags & O_APPEND) != 0) return AfcStatusFromErrno(errno);
    out = std::move(fd);
    return kAfcSuccess;
}

// The phone's photo daemon notices deleted camera-roll files when its store is next used; the
// host's open of the store (or a companion) through the media area is that moment here.
void ReconcileBeforeStoreOpen(const AfcConnection& connection, const char* path) {
    if (connection.channel().name() != "com.apple.afc") return;
    const std::vector<std::string> parts = LexicalParts(path);
    if (parts.size() != 2 || parts[0] != "PhotoData" || parts[1].rfind("Photos.sqlite", 0) != 0)
        return;
    std::string error;
    if (!ReconcileCameraRoll(PhotoStoreContextOf(connection.channel().device()), error))
        std::fprintf(stderr, "simulated device: camera roll not reconciled: %s\n", error.c_str());
}

}  // namespace

extern "C" {

int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                   AFCFileRef* outFile) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    const int flags = OpenFlags(Low32(mode));
    if (path == nullptr || outFile == nullptr || flags < 0) return kAfcInvalidArgument;
    std::shared_ptr<AfcConnection> found;
    if (const int status = UsableConnection(connection, found); status != kAfcSuccess)
        return status;
    ReconcileBeforeStoreOpen(*found, path);
    ResolvedPath entry;
    if (const int status = ResolvePath(found->root(), path, LastLink::Follow, false, entry);
        status != kAfcSuccess)
        return status;
    UniqueFd fd;
    if (const int status = OpenEntry(entry, flags, fd); status != kAfcSuccess) return status;
    *outFile = found->AddFile(std::move(fd));
    return kAfcSuccess;
}

int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                   size_t* inOutLength) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (inOutLength == nullptr) return kAfcInvalidArgument;
    const uint32_t wanted = ReadLow32(inOutLength);
    if (buffer == nullptr && wanted > 0) return kAfcInvalidArgument;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    auto* bytes = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < wanted) {
        const ssize_t got = ::read(open->fd.get(), bytes + done, wanted - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno == EBADF ? kAfcPermissionDenied : kAfcReadError;
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
    }
    WriteLow32(inOutLength, done);
    return kAfcSuccess;
}

int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef file, const void* buffer,
                    size_t length) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    const uint32_t wanted = Low32(length);
    if (buffer == nullptr && wanted > 0) return kAfcInvalidArgument;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    const auto* bytes = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < wanted) {
        const ssize_t put = ::write(open->fd.get(), bytes + done, wanted - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            const int status = AfcStatusFromErrno(errno);
            return status == kAfcUndefined ? kAfcWriteError : status;
        }
        done += static_cast<uint32_t>(put);
    }
    return kAfcSuccess;
}

int AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, int64_t offset, uint64_t whence) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    static constexpr int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    const uint32_t from = Low32(whence);
    if (from > 2) return kAfcInvalidArgument;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    if (::lseek(open->fd.get(), offset, kWhence[from]) < 0) return AfcStatusFromErrno(errno);
    return kAfcSuccess;
}

int AFCFileRefTell(AFCConnectionRef connection, AFCFileRef file, uint64_t* outPosition) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outPosition == nullptr) return kAfcInvalidArgument;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    const off_t position = ::lseek(open->fd.get(), 0, SEEK_CUR);
    if (position < 0) return AfcStatusFromErrno(errno);
    WriteLow32(outPosition, static_cast<uint64_t>(position));
    return kAfcSuccess;
}

int AFCFileRefSetFileSize(AFCConnectionRef connection, AFCFileRef file, uint64_t size) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (size > static_cast<uint64_t>(INT64_MAX)) return kAfcInvalidArgument;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    if (::ftruncate(open->fd.get(), static_cast<off_t>(size)) != 0) {
        // ftruncate says EINVAL for a descriptor opened only for reading.
        return errno == EINVAL ? kAfcPermissionDenied : AfcStatusFromErrno(errno);
    }
    return kAfcSuccess;
}

int AFCFileRefLock(AFCConnectionRef connection, AFCFileRef file, unsigned char exclusive) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    if (::flock(open->fd.get(), (exclusive != 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        return AfcStatusFromErrno(errno);
    return kAfcSuccess;
}

int AFCFileRefUnlock(AFCConnectionRef connection, AFCFileRef file) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    std::shared_ptr<OpenFile> open;
    if (const int status = UsableFile(connection, file, open); status != kAfcSuccess) return status;
    if (::flock(open->fd.get(), LOCK_UN) != 0) return AfcStatusFromErrno(errno);
    return kAfcSuccess;
}

// Closing works on a connection whose device left, so that hosts can always clean up.
int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    const std::shared_ptr<AfcConnection> found = AfcConnections().Find(connection);
    if (found == nullptr || !found->RemoveFile(file)) return kAfcInvalidArgument;
    return kAfcSuccess;
}

// Writes reach the host file at once, so there is nothing to flush.
int AFCFlushData(AFCConnectionRef connection, AFCFileRef file) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    std::shared_ptr<OpenFile> open;
    return UsableFile(connection, file, open);
}

}  // extern "C"
