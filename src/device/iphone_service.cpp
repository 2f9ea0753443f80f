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

bool BaseService::ReceiveMessage(rt::AMDServiceConnectionRef connection, CDicValueObj& reply) {
    if (!RuntimeLoaded() || connection == nullptr) return false;
    const RuntimeTable& runtime = Runtime();
    unsigned char header[4] = {};
    if (runtime.AMDServiceConnectionReceive(connection, header, sizeof header) != 4) return false;
    const uint32_t length = uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 |
                            uint32_t{header[2]} << 8 | uint32_t{header[3]};
    if (length == 0 || length > kMaxServiceMessageBytes) return false;
    std::string body(length, '\0');
    if (runtime.AMDServiceConnectionReceive(connection, body.data(), length) !=
        static_cast<int>(length)) {
        return false;
    }
    readPlistFromByteArry(body.data(), static_cast<int>(length), reply, 0);
    return reply.type != kPlistNone;
}

}  // namespace bw
