// The simulator's AFC packet reader on any bytes, read as a stream of packets the way the server
// reads its socket: whatever a header says, a decoded request only ever points into its own
// body, paths end before their NUL and stay within the bound, and a refused header is refused
// for a reason the bytes show.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "afc_request_seeds.h"
#include "fuzz_seeds.h"
#include "wire/afc_packet.h"

namespace {

using namespace bw::sim::wire;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Inside(std::string_view part, std::string_view whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

bool PathIsSound(std::string_view path, std::string_view body) {
    return Inside(path, body) && path.find('\0') == std::string_view::npos &&
           path.size() <= kAfcMaxPath &&
           // The NUL that ended it is part of the body.
           (path.data() == nullptr || (path.data() + path.size() < body.data() + body.size() &&
                                       path.data()[path.size()] == '\0'));
}

using bw::fuzz::Le64;
using bw::fuzz::Packet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string z(1, '\0');
    bw::fuzz::MaybeWriteSeeds({
        Packet(1, 0x0B, ""),
        Packet(2, 0x03, "/DCIM" + z),
        Packet(3, 0x0D, Le64(1) + "/a.txt" + z) + Packet(4, 0x0F, Le64(1) + Le64(4096)),
        Packet(5, 0x10, Le64(1), "bytes to write"),
        Packet(6, 0x18, "/from" + z + "/to" + z),
        Packet(7, 0x11, Le64(1) + Le64(2) + Le64(~uint64_t{3})),
        Packet(8, 0x1C, Le64(2) + "/target" + z + "/name" + z),
        Packet(9, 0x0A, "/no-nul"),
        std::string(kAfcMagic) + Le64(39) + Le64(39) + Le64(1) + Le64(0x0B),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty()) {
        AfcHeader header;
        const AfcHeaderCheck check = ReadAfcHeader(rest, header);
        if (check == AfcHeaderCheck::kBadMagic) {
            Require(rest.size() >= kAfcHeaderSize && rest.substr(0, 8) != kAfcMagic);
            break;
        }
        if (check == AfcHeaderCheck::kBadLengths) {
            Require(rest.size() < kAfcHeaderSize || header.thisLength < kAfcHeaderSize ||
                    header.entireLength < header.thisLength);
            break;
        }
        if (check == AfcHeaderCheck::kTooLong) {
            Require(header.entireLength > kAfcMaxPacket);
            break;
        }
        Require(header.thisLength >= kAfcHeaderSize && header.entireLength >= header.thisLength &&
                header.entireLength <= kAfcMaxPacket);

        // A stream that ends early gives the server less than the header promised; the decoder
        // sees only what arrived, as a body of that size.
        const size_t length = header.entireLength < rest.size() ? header.entireLength : rest.size();
        const std::string_view body = rest.substr(kAfcHeaderSize, length - kAfcHeaderSize);
        AfcRequest request;
        const AfcStatus status = DecodeAfcRequest(header.operation, body, request);
        Require(request.operation == header.operation);
        if (status == AfcStatus::kSuccess) {
            Require(PathIsSound(request.path, body));
            Require(PathIsSound(request.secondPath, body));
            Require(Inside(request.data, body));
        } else {
            Require(status == AfcStatus::kInvalidArgument ||
                    status == AfcStatus::kUnknownPacketType || status == AfcStatus::kNotSupported);
        }

        // The answer to it reads back as a packet with the request's number.
        AfcHeader answer;
        const std::string packet = AfcStatusPacket(header.packetNumber, status);
        Require(ReadAfcHeader(packet, answer) == AfcHeaderCheck::kOk);
        Require(answer.packetNumber == header.packetNumber && answer.entireLength == packet.size());
        rest.remove_prefix(length);
    }
    return 0;
}
