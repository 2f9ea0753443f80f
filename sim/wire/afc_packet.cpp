// Reading and writing AFC packets: the checks on every byte a peer sends.
#include "wire/afc_packet.h"

namespace bw::sim::wire {

namespace {

// The wire is little-endian whatever the host is, so fields are put together byte by byte.
uint64_t LittleEndian64(const char* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

void AppendLittleEndian64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The arguments of a request, taken from the front of its body in order.
class ArgumentReader {
  public:
    explicit ArgumentReader(std::string_view body) : rest_(body) {}

    bool Number(uint64_t& out) {
        if (rest_.size() < 8) return false;
        out = LittleEndian64(rest_.data());
        rest_.remove_prefix(8);
        return true;
    }

    // A NUL-terminated path of at most kAfcMaxPath bytes; the NUL is consumed, not returned.
    bool Path(std::string_view& out) {
        const size_t end = rest_.find('\0');
        if (end == std::string_view::npos || end > kAfcMaxPath) return false;
        out = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        return true;
    }

    std::string_view Rest() const { return rest_; }

  private:
    std::string_view rest_;
};

bool KnownButNotServed(uint64_t operation) {
    // Operations phones answer that this device has no function for: reading a whole file in one
    // request (0x04), writes by whole file (0x05, 0x06, 0x0C), connection settings (0x17, 0x19,
    // 0x1A), hashes and times (0x1D to 0x21), and the handle-based listings and offset transfers
    // of later releases (0x23 to 0x27).
    return operation == 0x04 || operation == 0x05 || operation == 0x06 || operation == 0x0C ||
           operation == 0x17 || (operation >= 0x19 && operation <= 0x1A) ||
           (operation >= 0x1D && operation <= 0x21) || (operation >= 0x23 && operation <= 0x27);
}

}  // namespace

AfcHeaderCheck ReadAfcHeader(std::string_view bytes, AfcHeader& out) {
    if (bytes.size() < kAfcHeaderSize) return AfcHeaderCheck::kBadLengths;
    if (bytes.substr(0, kAfcMagic.size()) != kAfcMagic) return AfcHeaderCheck::kBadMagic;
    out.entireLength = LittleEndian64(bytes.data() + 8);
    out.thisLength = LittleEndian64(bytes.data() + 16);
    out.packetNumber = LittleEndian64(bytes.data() + 24);
    out.operation = LittleEndian64(bytes.data() + 32);
    if (out.thisLength < kAfcHeaderSize || out.entireLength < out.thisLength)
        return AfcHeaderCheck::kBadLengths;
    if (out.entireLength > kAfcMaxPacket) return AfcHeaderCheck::kTooLong;
    return AfcHeaderCheck::kOk;
}

AfcStatus DecodeAfcRequest(uint64_t operation, std::string_view body, AfcRequest& out) {
    out = AfcRequest{};
    out.operation = operation;
    ArgumentReader in(body);
    bool ok = true;
    switch (static_cast<AfcOperation>(operation)) {
        case AfcOperation::kGetDeviceInfo:
        case AfcOperation::kGetConnectionInfo:
            break;
        case AfcOperation::kReadDirectory:
        case AfcOperation::kRemovePath:
        case AfcOperation::kMakeDirectory:
        case AfcOperation::kGetFileInfo:
        case AfcOperation::kRemovePathAndContents:
            ok = in.Path(out.path);
            break;
        case AfcOperation::kTruncate:
        case AfcOperation::kFileOpen:
            ok = in.Number(out.number) && in.Path(out.path);
            break;
        case AfcOperation::kRenamePath:
            ok = in.Path(out.path) && in.Path(out.secondPath);
            break;
        case AfcOperation::kMakeLink:
            ok = in.Number(out.number) && in.Path(out.path) && in.Path(out.secondPath);
            break;
        case AfcOperation::kFileTell:
        case AfcOperation::kFileClose:
            ok = in.Number(out.handle);
            break;
        case AfcOperation::kFileRead:
        case AfcOperation::kFileSetSize:
        case AfcOperation::kFileLock:
            ok = in.Number(out.handle) && in.Number(out.number);
            break;
        case AfcOperation::kFileSeek: {
            uint64_t offset = 0;
            ok = in.Number(out.handle) && in.Number(out.number) && in.Number(offset);
            out.offset = static_cast<int64_t>(offset);
            break;
        }
        case AfcOperation::kFileWrite:
            ok = in.Number(out.handle);
            out.data = in.Rest();
            break;
        default:
            // Answers (status, data, results) are never requests.
            return KnownButNotServed(operation) ? AfcStatus::kNotSupported
                                                : AfcStatus::kUnknownPacketType;
    }
    return ok ? AfcStatus::kSuccess : AfcStatus::kInvalidArgument;
}

void AppendAfcHeader(std::string& out, AfcOperation operation, uint64_t packetNumber,
                     size_t parametersSize, size_t payloadSize) {
    out.append(kAfcMagic);
    AppendLittleEndian64(out, kAfcHeaderSize + parametersSize + payloadSize);
    AppendLittleEndian64(out, kAfcHeaderSize + parametersSize);
    AppendLittleEndian64(out, packetNumber);
    AppendLittleEndian64(out, static_cast<uint64_t>(operation));
}

std::string AfcNumberPacket(AfcOperation operation, uint64_t packetNumber, uint64_t number) {
    std::string out;
    AppendAfcHeader(out, operation, packetNumber, 8, 0);
    AppendLittleEndian64(out, number);
    return out;
}

std::string AfcStatusPacket(uint64_t packetNumber, AfcStatus status) {
    return AfcNumberPacket(AfcOperation::kStatus, packetNumber, static_cast<uint64_t>(status));
}

std::string AfcDataPacket(uint64_t packetNumber, std::string_view payload) {
    std::string out;
    AppendAfcHeader(out, AfcOperation::kData, packetNumber, 0, payload.size());
    out.append(payload);
    return out;
}

}  // namespace bw::sim::wire
