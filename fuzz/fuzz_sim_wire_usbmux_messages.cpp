// The simulator's multiplexer reader on any bytes, read as a stream of messages the way the
// server reads a client socket: a header is taken only with a length it can hold, a whole message
// always gets a verdict, and a request writes back into one whole message that keeps its type
// whenever it reads.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_seeds.h"
#include "wire/wire_protocol.h"

namespace {

using namespace bw::sim::wire;

void Require(bool condition) {
    if (!condition) std::abort();
}

std::string Request(const char* type, uint32_t tag) {
    bw::sim::PlistTree body = bw::sim::DictBuilder()
                                  .Text("MessageType", type)
                                  .Text("PairRecordID", "0123456789abcdef0123456789abcdef01234567")
                                  .Integer("DeviceID", 1)
                                  .Integer("PortNumber", 0x7EF2)
                                  .Take();
    return UsbmuxPlistBytes(body.get(), tag);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({Request("ListDevices", 1),
                               Request("Connect", 2) + Request("Listen", 3),
                               UsbmuxResultBytes(3, 4), UsbmuxBinaryResultBytes(6, 5)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (rest.size() >= kUsbmuxHeaderBytes) {
        const std::optional<UsbmuxHeader> header = ReadUsbmuxHeader(rest);
        if (!header) break;
        Require(header->length >= kUsbmuxHeaderBytes && header->length <= kMaxMessageBytes);
        if (header->length > rest.size()) break;
        const std::string_view message = rest.substr(0, header->length);
        rest.remove_prefix(header->length);
        const std::optional<UsbmuxRequest> request = ReadUsbmuxRequest(message);
        Require(request.has_value());
        if (request->verdict != UsbmuxVerdict::Request) {
            Require(request->body == nullptr);
            continue;
        }
        Require(plist_get_node_type(request->body.get()) == PLIST_DICT);
        const std::string again = UsbmuxPlistBytes(request->body.get(), request->header.tag);
        const std::optional<UsbmuxHeader> written = ReadUsbmuxHeader(again);
        Require(written && written->length == again.size() && written->tag == request->header.tag);
        const std::optional<UsbmuxRequest> reread = ReadUsbmuxRequest(again);
        Require(reread.has_value());
        if (reread->verdict == UsbmuxVerdict::Request) Require(reread->type == request->type);
    }
    // A length on its own never passes the bound.
    if (const std::optional<UsbmuxHeader> header = ReadUsbmuxHeader(rest))
        Require(header->length <= kMaxMessageBytes);
    return 0;
}
