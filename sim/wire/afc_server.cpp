// One AFC session on a socket: read a packet, check it, do it with the runtime's AFC functions,
// answer with the request's packet number. Requests are served one at a time, in order, as a
// phone's AFC daemon serves one connection.
#include "wire/afc_server.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <string_view>

#include "wire/afc_packet.h"

namespace bw::sim::wire {

namespace {

// How deep a removal with contents goes before it gives up: deeper trees are not what phones
// hold, and the bound keeps a hostile tree of links from recursing without end.
constexpr int kMaxRemovalDepth = 64;

constexpr uint64_t kLockShared = 1;
constexpr uint64_t kLockExclusive = 2;
constexpr uint64_t kLockUnlock = 8;

// The runtime answers with AFC codes already; a failure armed by a test may carry a mobile device
// error instead, whose low byte names the same condition for the codes the two share.
AfcStatus WireStatus(int status) {
    auto code = static_cast<uint32_t>(status);
    if ((code & 0xFFFFFF00u) == 0xE8000000u) code &= 0xFFu;
    if (code <= static_cast<uint32_t>(AfcStatus::kInternalError) ||
        code == static_cast<uint32_t>(AfcStatus::kDirectoryNotEmpty))
        return static_cast<AfcStatus>(code);
    return AfcStatus::kUnknownError;
}

// Writes all of `parts` or fails; MSG_NOSIGNAL so that a peer gone away is an error, not a
// signal that ends the process.
bool SendAll(int fd, iovec* parts, size_t count) {
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        auto left = static_cast<size_t>(sent);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

// Reads exactly `length` bytes into `out`; false when the stream ends or fails first.
bool ReadExactly(int fd, char* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t count = ::recv(fd, out + got, length - got, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

class AfcSession {
  public:
    AfcSession(int fd, AFCConnectionRef connection) : fd_(fd), connection_(connection) {}
    AfcSession(const AfcSession&) = delete;
    AfcSession& operator=(const AfcSession&) = delete;

    ~AfcSession() {
        for (const auto& [handle, file] : files_)
            AFCFileRefClose(connection_, file);
    }

    void Run() {
        AfcHeader header;
        while (ReceiveRequest(header)) {
            AfcRequest request;
            const AfcStatus decoded = DecodeAfcRequest(header.operation, body_, request);
            const bool sent = decoded == AfcStatus::kSuccess
                                  ? Serve(header.packetNumber, request)
                                  : SendStatus(header.packetNumber, decoded);
            // A connection whose device left answers nothing any more.
            if (!sent || lastStatus_ == AfcStatus::kNotConnected) return;
        }
    }

  private:
    // The next request's header and body; false when the peer closed or broke the protocol
    // (which is answered first when the peer can still make sense of an answer).
    bool ReceiveRequest(AfcHeader& header) {
        char raw[kAfcHeaderSize];
        if (!ReadExactly(fd_, raw, sizeof raw)) return false;
        switch (ReadAfcHeader(std::string_view(raw, sizeof raw), header)) {
            case AfcHeaderCheck::kOk:
                break;
            case AfcHeaderCheck::kBadMagic:
                return false;
            case AfcHeaderCheck::kBadLengths:
            case AfcHeaderCheck::kTooLong:
                // The rest of the stream cannot be framed any more: say why, then stop.
                SendStatus(header.packetNumber, AfcStatus::kHeaderInvalid);
                return false;
        }
        body_.resize(header.entireLength - kAfcHeaderSize);
        return ReadExactly(fd_, body_.data(), body_.size());
    }

    // Does one decoded request and answers it; false when the answer could not be sent.
    bool Serve(uint64_t packet, const AfcRequest& request) {
        const std::string path(request.path);
        switch (static_cast<AfcOperation>(request.operation)) {
            case AfcOperation::kGetDeviceInfo:
                return AnswerPairs(packet, DeviceInfo());
            case AfcOperation::kGetFileInfo:
                return AnswerPairs(packet, FileInfo(path));
            case AfcOperation::kReadDirectory:
                return AnswerListing(packet, path);
            case AfcOperation::kMakeDirectory:
                return Answer(packet, AFCDirectoryCreate(connection_, path.c_str()));
            case AfcOperation::kRemovePath:
                return Answer(packet, AFCRemovePath(connection_, path.c_str()));
            case AfcOperation::kRemovePathAndContents:
                return Answer(packet, RemoveTree(path, 0));
            case AfcOperation::kRenamePath: {
                const std::string to(request.secondPath);
                return Answer(packet, AFCRenamePath(connection_, path.c_str(), to.c_str()));
            }
            case AfcOperation::kTruncate:
                return Answer(packet, TruncatePath(path, request.number));
            case AfcOperation::kFileOpen:
                return OpenFile(packet, path, request.number);
            default:
                break;
        }
        if (static_cast<AfcOperation>(request.operation) == AfcOperation::kMakeLink ||
            static_cast<AfcOperation>(request.operation) == AfcOperation::kGetConnectionInfo)
            return SendStatus(packet, AfcStatus::kNotSupported);
        return ServeFile(packet, request);
    }

    // The requests on an open file.
    bool ServeFile(uint64_t packet, const AfcRequest& request) {
        const auto found = files_.find(request.handle);
        if (found == files_.end()) return SendStatus(packet, AfcStatus::kInvalidArgument);
        const AFCFileRef file = found->second;
        switch (static_cast<AfcOperation>(request.operation)) {
            case AfcOperation::kFileRead:
                return ReadFile(packet, file, request.number);
            case AfcOperation::kFileWrite:
                return Answer(packet, AFCFileRefWrite(connection_, file, request.data.data(),
                                                      request.data.size()));
            case AfcOperation::kFileSeek:
                if (request.number > 2) return SendStatus(packet, AfcStatus::kInvalidArgument);
                return Answer(packet,
                              AFCFileRefSeek(connection_, file, request.offset, request.number));
            case AfcOperation::kFileTell: {
                uint64_t position = 0;
                const int result = AFCFileRefTell(connection_, file, &position);
                if (result != 0) return Answer(packet, result);
                return SendPacket(AfcNumberPacket(AfcOperation::kFileTellResult, packet, position));
            }
            case AfcOperation::kFileSetSize:
                return Answer(packet, AFCFileRefSetFileSize(connection_, file, request.number));
            case AfcOperation::kFileLock:
                return Answer(packet, LockFile(file, request.number));
            case AfcOperation::kFileClose:
                files_.erase(found);
                return Answer(packet, AFCFileRefClose(connection_, file));
            default:
                return SendStatus(packet, AfcStatus::kUnknownPacketType);
        }
    }

    bool OpenFile(uint64_t packet, const std::string& path, uint64_t mode) {
        // The runtime reads the mode's low half only; the wire's whole number must be a mode.
        if (mode < 1 || mode > 6) return SendStatus(packet, AfcStatus::kInvalidArgument);
        AFCFileRef file = 0;
        const int result = AFCFileRefOpen(connection_, path.c_str(), mode, &file);
        if (result != 0) return Answer(packet, result);
        const uint64_t handle = nextHandle_++;
        files_.emplace(handle, file);
        return SendPacket(AfcNumberPacket(AfcOperation::kFileOpenResult, packet, handle));
    }

    bool ReadFile(uint64_t packet, AFCFileRef file, uint64_t wanted) {
        size_t length = wanted < kAfcMaxTransfer ? wanted : kAfcMaxTransfer;
        if (buffer_.size() < length) buffer_.resize(length);
        const int result = AFCFileRefRead(connection_, file, buffer_.data(), &length);
        if (result != 0) return Answer(packet, result);
        std::string header;
        AppendAfcHeader(header, AfcOperation::kData, packet, 0, length);
        iovec parts[2] = {{header.data(), header.size()}, {buffer_.data(), length}};
        return SendAll(fd_, parts, 2);
    }

    int LockFile(AFCFileRef file, uint64_t operation) {
        // The peer's flock()-style bits; the runtime never blocks, so a lock without the
        // non-blocking bit answers "would block" when it is taken as well.
        if ((operation & kLockUnlock) != 0) return AFCFileRefUnlock(connection_, file);
        if ((operation & kLockExclusive) != 0) return AFCFileRefLock(connection_, file, 1);
        if ((operation & kLockShared) != 0) return AFCFileRefLock(connection_, file, 0);
        return static_cast<int>(AfcStatus::kInvalidArgument);
    }

    // A file's new size by path: only an existing file, so the open below creates nothing.
    int TruncatePath(const std::string& path, uint64_t size) {
        AFCKeyValueRef info = nullptr;
        if (const int result = AFCFileInfoOpen(connection_, path.c_str(), &info); result != 0)
            return result;
        AFCKeyValueClose(info);
        AFCFileRef file = 0;
        if (const int result = AFCFileRefOpen(connection_, path.c_str(), 2, &file); result != 0)
            return result;
        const int result = AFCFileRefSetFileSize(connection_, file, size);
        const int closed = AFCFileRefClose(connection_, file);
        return result != 0 ? result : closed;
    }

    // Removes `path` and, when it is a folder, everything below it first. Links are removed,
    // never followed.
    int RemoveTree(const std::string& path, int depth) {
        const Pairs info = FileInfo(path);
        if (info.status != 0) return info.status;
        if (info.Value("st_ifmt") != "S_IFDIR") return AFCRemovePath(connection_, path.c_str());
        if (depth >= kMaxRemovalDepth) return static_cast<int>(AfcStatus::kNoResources);
        std::string names;
        if (const int result = List(path, names); result != 0) return result;
        const std::string prefix = path.empty() || path.back() != '/' ? path + "/" : path;
        for (size_t at = 0; at < names.size();) {
            const std::string name(names.c_str() + at);
            at += name.size() + 1;
            if (name == "." || name == "..") continue;
            if (const int result = RemoveTree(prefix + name, depth + 1); result != 0) return result;
        }
        return AFCRemovePath(connection_, path.c_str());
    }

    // Key-value pairs as the wire carries them: key, NUL, value, NUL, ...
    struct Pairs {
        int status = 0;
        std::string text;

        std::string_view Value(std::string_view key) const {
            std::string_view rest = text;
            while (!rest.empty()) {
                const std::string_view name = rest.substr(0, rest.find('\0'));
                rest.remove_prefix(std::min(rest.size(), name.size() + 1));
                const std::string_view value = rest.substr(0, rest.find('\0'));
                rest.remove_prefix(std::min(rest.size(), value.size() + 1));
                if (name == key) return value;
            }
            return {};
        }
    };

    Pairs TakePairs(int status, AFCKeyValueRef values) {
        Pairs out{status, {}};
        if (status != 0) return out;
        char* key = nullptr;
        char* value = nullptr;
        while ((out.status = AFCKeyValueRead(values, &key, &value)) == 0 && key != nullptr) {
            out.text.append(key).push_back('\0');
            out.text.append(value != nullptr ? value : "").push_back('\0');
        }
        AFCKeyValueClose(values);
        return out;
    }

    Pairs DeviceInfo() {
        AFCKeyValueRef values = nullptr;
        const int status = AFCDeviceInfoOpen(connection_, &values);
        return TakePairs(status, values);
    }

    Pairs FileInfo(const std::string& path) {
        AFCKeyValueRef values = nullptr;
        const int status = AFCFileInfoOpen(connection_, path.c_str(), &values);
        return TakePairs(status, values);
    }

    // The names of a folder, each followed by a NUL.
    int List(const std::string& path, std::string& names) {
        AFCDirectoryRef directory = nullptr;
        if (const int result = AFCDirectoryOpen(connection_, path.c_str(), &directory); result != 0)
            return result;
        char* name = nullptr;
        int result = 0;
        while ((result = AFCDirectoryRead(connection_, directory, &name)) == 0 && name != nullptr)
            names.append(name).push_back('\0');
        AFCDirectoryClose(connection_, directory);
        return result;
    }

    bool AnswerListing(uint64_t packet, const std::string& path) {
        std::string names;
        if (const int result = List(path, names); result != 0) return Answer(packet, result);
        return SendPacket(AfcDataPacket(packet, names));
    }

    bool AnswerPairs(uint64_t packet, const Pairs& pairs) {
        if (pairs.status != 0) return Answer(packet, pairs.status);
        return SendPacket(AfcDataPacket(packet, pairs.text));
    }

    // Answers with the runtime's status `result`.
    bool Answer(uint64_t packet, int result) { return SendStatus(packet, WireStatus(result)); }

    bool SendStatus(uint64_t packet, AfcStatus status) {
        lastStatus_ = status;
        return SendPacket(AfcStatusPacket(packet, status));
    }

    bool SendPacket(std::string packet) {
        iovec part{packet.data(), packet.size()};
        return SendAll(fd_, &part, 1);
    }

    const int fd_;
    const AFCConnectionRef connection_;
    std::map<uint64_t, AFCFileRef> files_;
    uint64_t nextHandle_ = 1;
    AfcStatus lastStatus_ = AfcStatus::kSuccess;
    std::string body_;
    std::string buffer_;
};

}  // namespace

void ServeAfc(int fd, AFCConnectionRef connection) {
    AfcSession(fd, connection).Run();
}

}  // namespace bw::sim::wire
