// A test's own AFC client on a socket, written from the packet layout (not from the server's
// packet code): it sends requests as libimobiledevice's client lays them out (header, then the
// parameters, then the payload, all little-endian) and reads answers whole.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bw::sim::wiretest {

inline constexpr uint64_t kOpStatus = 0x01;
inline constexpr uint64_t kOpData = 0x02;
inline constexpr uint64_t kOpReadDirectory = 0x03;
inline constexpr uint64_t kOpTruncate = 0x07;
inline constexpr uint64_t kOpRemovePath = 0x08;
inline constexpr uint64_t kOpMakeDirectory = 0x09;
inline constexpr uint64_t kOpGetFileInfo = 0x0A;
inline constexpr uint64_t kOpGetDeviceInfo = 0x0B;
inline constexpr uint64_t kOpFileOpen = 0x0D;
inline constexpr uint64_t kOpFileOpenResult = 0x0E;
inline constexpr uint64_t kOpFileRead = 0x0F;
inline constexpr uint64_t kOpFileWrite = 0x10;
inline constexpr uint64_t kOpFileSeek = 0x11;
inline constexpr uint64_t kOpFileTell = 0x12;
inline constexpr uint64_t kOpFileTellResult = 0x13;
inline constexpr uint64_t kOpFileClose = 0x14;
inline constexpr uint64_t kOpFileSetSize = 0x15;
inline constexpr uint64_t kOpRenamePath = 0x18;
inline constexpr uint64_t kOpFileLock = 0x1B;
inline constexpr uint64_t kOpMakeLink = 0x1C;
inline constexpr uint64_t kOpRemovePathAndContents = 0x22;

// A number as the wire carries it.
inline std::string U64(uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

inline uint64_t FromU64(const std::string& bytes, size_t at = 0) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8 && at + i < bytes.size(); ++i)
        value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    return value;
}

// A path with its NUL.
inline std::string Z(const std::string& path) {
    return path + std::string(1, '\0');
}

// A header with the given fields, which need not agree with anything.
inline std::string RawHeader(uint64_t entireLength, uint64_t thisLength, uint64_t number,
                             uint64_t operation, const std::string& magic = "CFA6LPAA") {
    return magic + U64(entireLength) + U64(thisLength) + U64(number) + U64(operation);
}

struct Answer {
    uint64_t operation = 0;
    uint64_t number = 0;
    std::string parameters;
    std::string payload;
};

// The status an answer carries, or a value no status has when it is no status answer.
inline uint64_t StatusOf(const std::optional<Answer>& answer) {
    if (!answer || answer->operation != kOpStatus || answer->parameters.size() != 8) return 0xDEAD;
    return FromU64(answer->parameters);
}

class AfcWireClient {
  public:
    explicit AfcWireClient(int fd) : fd_(fd) {}
    ~AfcWireClient() { Close(); }
    AfcWireClient(const AfcWireClient&) = delete;
    AfcWireClient& operator=(const AfcWireClient&) = delete;

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    bool SendRaw(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t sent =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    // Sends a request under the next packet number and returns that number.
    uint64_t Send(uint64_t operation, const std::string& parameters,
                  const std::string& payload = {}) {
        const uint64_t number = ++lastNumber_;
        SendRaw(RawHeader(40 + parameters.size() + payload.size(), 40 + parameters.size(), number,
                          operation) +
                parameters + payload);
        return number;
    }

    // The next answer, or nullopt when the stream ended first.
    std::optional<Answer> Receive() {
        const std::optional<std::string> header = ReadExactly(40);
        if (!header || header->compare(0, 8, "CFA6LPAA") != 0) return std::nullopt;
        const uint64_t entire = FromU64(*header, 8);
        const uint64_t self = FromU64(*header, 16);
        if (self < 40 || entire < self || entire > (64u << 20)) return std::nullopt;
        Answer answer;
        answer.number = FromU64(*header, 24);
        answer.operation = FromU64(*header, 32);
        const std::optional<std::string> parameters = ReadExactly(self - 40);
        const std::optional<std::string> payload = ReadExactly(entire - self);
        if (!parameters || !payload) return std::nullopt;
        answer.parameters = *parameters;
        answer.payload = *payload;
        return answer;
    }

    // A request and its answer, which must carry the request's number.
    std::optional<Answer> Request(uint64_t operation, const std::string& parameters,
                                  const std::string& payload = {}) {
        const uint64_t number = Send(operation, parameters, payload);
        std::optional<Answer> answer = Receive();
        if (answer && answer->number != number) return std::nullopt;
        return answer;
    }

    uint64_t Status(uint64_t operation, const std::string& parameters,
                    const std::string& payload = {}) {
        return StatusOf(Request(operation, parameters, payload));
    }

    // The handle of a file opened in `mode`, or 0 with the status in *status.
    uint64_t Open(const std::string& path, uint64_t mode, uint64_t* status = nullptr) {
        const std::optional<Answer> answer = Request(kOpFileOpen, U64(mode) + Z(path));
        if (answer && answer->operation == kOpFileOpenResult && answer->parameters.size() == 8) {
            if (status != nullptr) *status = 0;
            return FromU64(answer->parameters);
        }
        if (status != nullptr) *status = StatusOf(answer);
        return 0;
    }

    // The bytes of one read answer, or nullopt when the answer is no data.
    std::optional<std::string> Read(uint64_t handle, uint64_t length) {
        const std::optional<Answer> answer = Request(kOpFileRead, U64(handle) + U64(length));
        if (!answer || answer->operation != kOpData) return std::nullopt;
        return answer->parameters + answer->payload;
    }

    // The NUL-separated strings of a data answer (a listing, key-value pairs); nullopt for any
    // other answer, with its status in *status.
    std::optional<std::vector<std::string>> Strings(uint64_t operation, const std::string& path,
                                                    uint64_t* status = nullptr) {
        const std::optional<Answer> answer = Request(operation, path.empty() ? "" : Z(path));
        if (status != nullptr) *status = StatusOf(answer);
        if (!answer || answer->operation != kOpData) return std::nullopt;
        std::vector<std::string> out;
        const std::string all = answer->parameters + answer->payload;
        for (size_t at = 0; at < all.size();) {
            const size_t end = all.find('\0', at);
            if (end == std::string::npos) return std::nullopt;  // a string without its NUL
            out.push_back(all.substr(at, end - at));
            at = end + 1;
        }
        return out;
    }

  private:
    std::optional<std::string> ReadExactly(uint64_t length) {
        std::string bytes(length, '\0');
        size_t got = 0;
        while (got < length) {
            const ssize_t count = ::recv(fd_, bytes.data() + got, length - got, 0);
            if (count <= 0) return std::nullopt;
            got += static_cast<size_t>(count);
        }
        return bytes;
    }

    int fd_;
    uint64_t lastNumber_ = 0;
};

}  // namespace bw::sim::wiretest
