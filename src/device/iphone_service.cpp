#include "device/iphone_service.h"

#include <memory>
#include <string>

#include "device/runtime.h"
#include "formats/plist_library.h"

namespace bw {

bool BaseService::Send(const CDicValueObj& message) {
    return SendMessage(connection_, message);
}

bool BaseService::Receive(CDicValueObj& reply) {
    return ReceiveMessage(connection_, reply);
}

bool BaseService::SendMessage(rt::AMDServiceConnectionRef connection, const CDicValueObj& message) {
    if (!RuntimeLoaded() || connection == nullptr) return false;
    std::string body;
    writeBinary(message, body);
    if (body.empty() || body.size() > kMaxServiceMessageBytes) return false;
    const auto length = static_cast<uint32_t>(body.size());
    const unsigned char header[4] = {
        static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    const RuntimeTable& runtime = Runtime();
    return runtime.AMDServiceConnectionSend(connection, header, sizeof header) == 4 &&
           runtime.AMDServiceConnectionSend(connection, body.data(), body.size()) ==
               static_cast<int>(body.size());
}

namespace {

// A receive is a read from a socket: it may hand out fewer bytes than asked, so a message is read
// until it is whole. The end of the link or an error before that fails the read.
bool ReceiveWhole(rt::AMDServiceConnectionRef connection, unsigned char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const int got =
            Runtime().AMDServiceConnectionReceive(connection, buffer + done, length - done);
        if (got <= 0 || static_cast<size_t>(got) > length - done) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool BaseService::ReceiveMessage(rt::AMDServiceConnectionRef connection, CDicValueObj& reply) {
    if (!RuntimeLoaded() || connection == nullptr) return false;
    unsigned char header[4] = {};
    if (!ReceiveWhole(connection, header, sizeof header)) return false;
    const uint32_t length = uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 |
                            uint32_t{header[2]} << 8 | uint32_t{header[3]};
    if (length == 0 || length > kMaxServiceMessageBytes) return false;
    std::string body(length, '\0');
    if (!ReceiveWhole(connection, reinterpret_cast<unsigned char*>(body.data()), length)) {
        return false;
    }
    readPlistFromByteArry(body.data(), static_cast<int>(length), reply, 0);
    return reply.type != kPlistNone;
}

}  // namespace bw
