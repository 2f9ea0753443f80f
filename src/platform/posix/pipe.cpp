#include "platform/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/environment.h"
#include "platform/files.h"

namespace bw::platform {
namespace {

// Every packet starts with one byte that says whether more pieces of the same message follow.
// The piece size stays well below the default socket buffer, so a packet always fits.
constexpr size_t kPieceSize = 32 * 1024;
constexpr char kLastPiece = 0;
constexpr char kMorePieces = 1;

using Clock = std::chrono::steady_clock;

class Deadline {
  public:
    explicit Deadline(int timeoutMs)
        : forever_(timeoutMs < 0), end_(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
    // Milliseconds left for poll(): -1 for no limit, 0 once passed.
    int Remaining() const {
        if (forever_) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool Passed() const { return !forever_ && Clock::now() >= end_; }

  private:
    bool forever_;
    Clock::time_point end_;
};

// True when the descriptor became readable (or hung up) within the time.
bool WaitReadable(int fd, const Deadline& deadline) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, deadline.Remaining());
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

// The folder is made private to the user, and an existing one is used only when it already is:
// another user must not be able to plant a socket under one of our names.
std::string PipeFolder() {
    std::string base;
    if (auto own = GetEnv("BRACKWATER_RUNTIME_DIR"); own && !own->empty()) {
        base = *own;
    } else if (auto xdg = GetEnv("XDG_RUNTIME_DIR"); xdg && !xdg->empty()) {
        base = *xdg + "/brackwater";
    } else {
        base = TempFolder();  // already the user's own
        if (base.empty()) return {};
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    const std::string folder = base + "/pipes";
    ::mkdir(base.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    return IsPrivateFolder(folder) ? folder : std::string();
}

// Windows pipe names ignore letter case; characters that are not safe in a file name are kept
// distinct as %XX.
std::string FileNameForPipe(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '.' || c == '-' || c == '_') {
            out.push_back(static_cast<char>(std::tolower(byte)));
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            out += escaped;
        }
    }
    return out;
}

uint64_t Fnv1a(std::string_view text) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

UniqueFd NewSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
}

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// An open-file-description lock on "<socket>.lock" marks a live server: the kernel drops it when
// the server's process dies, and unlike a process-wide record lock it also conflicts with a
// second server of the same process.
UniqueFd LockServerName(const std::string& lockPath, std::string& error) {
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        error = ErrnoText("cannot open the pipe's lock file");
        return fd;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) {
        error = "a server of this pipe name is running";
        return UniqueFd();
    }
    return fd;
}

bool ServerAlive(const std::string& socketPath) {
    const UniqueFd fd(::open((socketPath + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    struct stat info {};
    return held && ::lstat(socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

std::string PipeSocketPath(std::string_view pipeName) {
    constexpr std::string_view kPrefix = "\\\\.\\pipe\\";
    if (pipeName.size() >= kPrefix.size()) {
        bool prefixed = true;
        for (size_t i = 0; i < kPrefix.size() && prefixed; ++i) {
            prefixed = std::tolower(static_cast<unsigned char>(pipeName[i])) == kPrefix[i];
        }
        if (prefixed) pipeName.remove_prefix(kPrefix.size());
    }
    if (pipeName.empty()) return {};
    const std::string folder = PipeFolder();
    if (folder.empty()) return {};
    std::string path = folder + "/" + FileNameForPipe(pipeName);
    // Socket paths have a small fixed limit (with room for the ".lock" and temporary names).
    constexpr size_t kRoom = sizeof(sockaddr_un::sun_path) - 24;
    if (path.size() > kRoom) {
        char hashed[32];
        std::snprintf(hashed, sizeof hashed, "/pipe-%016llx",
                      static_cast<unsigned long long>(Fnv1a(FileNameForPipe(pipeName))));
        path = folder + hashed;
        if (path.size() > kRoom) return {};
    }
    return path;
}

// ---- PipeConnection ----

PipeConnection::~PipeConnection() {
    Close();
}

void PipeConnection::Close() {
    socket_.reset();
    partial_.clear();
    skipping_ = false;
}

std::optional<std::string> PipeConnection::Read(int timeoutMs) {
    if (!socket_) return std::nullopt;
    const Deadline deadline(timeoutMs);
    std::string piece(kPieceSize + 1, '\0');
    for (;;) {
        if (!WaitReadable(socket_.get(), deadline)) return std::nullopt;
        msghdr header{};
        iovec vector{piece.data(), piece.size()};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(socket_.get(), &header, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Close();
            return std::nullopt;
        }
        if (got == 0) {  // the peer closed; our own packets are never empty
            Close();
            return std::nullopt;
        }
        const bool more = piece[0] == kMorePieces;
        // A packet in another format than ours (cut short, or with an unknown first byte) spoils
        // the message it belongs to, never the connection.
        if ((header.msg_flags & MSG_TRUNC) != 0 || (piece[0] != kLastPiece && !more)) {
            skipping_ = true;
        }
        if (!skipping_) {
            const size_t size = static_cast<size_t>(got) - 1;
            if (partial_.size() + size > kMaxPipeMessage) {
                skipping_ = true;
                partial_.clear();
                partial_.shrink_to_fit();
            } else {
                partial_.append(piece.data() + 1, size);
            }
        }
        if (more && !(header.msg_flags & MSG_TRUNC)) continue;
        std::string message = std::move(partial_);
        partial_.clear();
        if (skipping_) {
            skipping_ = false;
            if (deadline.Passed()) return std::nullopt;
            continue;
        }
        return message;
    }
}

bool PipeConnection::Write(std::string_view message) {
    if (!socket_) return false;
    std::string packet;
    packet.reserve(std::min(message.size(), kPieceSize) + 1);
    size_t offset = 0;
    do {
        const size_t size = std::min(kPieceSize, message.size() - offset);
        const bool last = offset + size == message.size();
        packet.assign(1, last ? kLastPiece : kMorePieces);
        packet.append(message.substr(offset, size));
        for (;;) {
            const ssize_t sent = ::send(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL);
            if (sent == static_cast<ssize_t>(packet.size())) break;
            if (sent < 0 && errno == EINTR) continue;
            return false;
        }
        offset += size;
    } while (offset < message.size());
    return true;
}

// ---- PipeServer ----

std::unique_ptr<PipeServer> PipeServer::Create(std::string_view pipeName, std::string& error) {
    const std::string path = PipeSocketPath(pipeName);
    if (path.empty()) {
        error = "the pipe name is empty or its folder cannot be made private";
        return nullptr;
    }
    std::unique_ptr<PipeServer> server(new PipeServer());
    server->path_ = path;
    server->lock_ = LockServerName(path + ".lock", error);
    if (!server->lock_) return nullptr;

    // The socket is bound under a temporary name and renamed into place once it listens, so a
    // client never finds the name without a listener behind it; the rename also replaces a
    // socket left behind by a server that died.
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".new";
    sockaddr_un address{};
    if (!FillAddress(temporary, address)) {
        error = "the pipe's socket path is too long";
        return nullptr;
    }
    ::unlink(temporary.c_str());
    server->listener_ = NewSocket();
    if (!server->listener_) {
        error = ErrnoText("cannot create a socket");
        return nullptr;
    }
    if (::bind(server->listener_.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) != 0 ||
        ::listen(server->listener_.get(), 4) != 0) {
        error = ErrnoText("cannot listen on the pipe");
        ::unlink(temporary.c_str());
        return nullptr;
    }
    struct stat info {};
    if (::lstat(temporary.c_str(), &info) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = ErrnoText("cannot publish the pipe");
        ::unlink(temporary.c_str());
        return nullptr;
    }
    server->inode_ = static_cast<unsigned long>(info.st_ino);
    return server;
}

PipeServer::~PipeServer() {
    Close();
}

bool PipeServer::WaitForClient(int timeoutMs) {
    if (!listener_) return false;
    Disconnect();
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (!WaitReadable(listener_.get(), deadline)) return false;
        UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (socket) {
            client_ = std::make_unique<PipeConnection>(std::move(socket));
            return true;
        }
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) return false;
        if (deadline.Passed()) return false;
    }
}

std::optional<std::string> PipeServer::Read(int timeoutMs) {
    if (client_ == nullptr) return std::nullopt;
    return client_->Read(timeoutMs);
}

bool PipeServer::Write(std::string_view message) {
    return client_ != nullptr && client_->Write(message);
}

void PipeServer::Disconnect() {
    client_.reset();
}

void PipeServer::Close() {
    Disconnect();
    if (listener_) {
        struct stat info {};
        if (::lstat(path_.c_str(), &info) == 0 &&
            static_cast<unsigned long>(info.st_ino) == inode_) {
            ::unlink(path_.c_str());
        }
        listener_.reset();
    }
    // The lock goes last, so no second server can publish the name while ours is still there.
    lock_.reset();
}

// ---- clients ----

std::unique_ptr<PipeConnection> ConnectPipe(std::string_view pipeName, int timeoutMs,
                                            std::string& error) {
    const std::string path = PipeSocketPath(pipeName);
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        error = "the pipe name is empty or too long";
        return nullptr;
    }
    const Deadline deadline(timeoutMs);
    for (;;) {
        UniqueFd socket = NewSocket();
        if (!socket) {
            error = ErrnoText("cannot create a socket");
            return nullptr;
        }
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            return std::make_unique<PipeConnection>(std::move(socket));
        }
        const int cause = errno;
        socket.reset();
        if (cause != ENOENT && cause != ECONNREFUSED && cause != EAGAIN && cause != EINTR) {
            errno = cause;
            error = ErrnoText("cannot connect to the pipe");
            return nullptr;
        }
        if (deadline.Passed()) {
            error = "no server of this pipe name";
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool WaitForPipe(std::string_view pipeName, int timeoutMs) {
    const std::string path = PipeSocketPath(pipeName);
    if (path.empty()) return false;
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (ServerAlive(path)) return true;
        if (deadline.Passed()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace bw::platform
