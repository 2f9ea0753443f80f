// The simulator's reader of framed property lists (lockdown's requests, a service's messages)
// on any bytes, read as a stream of frames: a frame is taken only with a length within the bound,
// what it gives is a dictionary, and written back it is one whole frame that reads the same
// whenever it reads at all.
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

std::string Frame(bool binary) {
    bw::sim::PlistTree body = bw::sim::DictBuilder()
                                  .Text("Label", "seed")
                                  .Text("Request", "StartService")
                                  .Text("Service", "com.apple.afc")
                                  .Flag("EnableSessionSSL", false)
                                  .Take();
    return FramedBytes(body.get(), binary);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({Frame(false), Frame(true), Frame(false) + Frame(true)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (rest.size() >= 4) {
        const std::optional<uint32_t> length = ReadFrameLength(rest);
        if (!length) break;
        Require(*length > 0 && *length <= kMaxMessageBytes);
        if (4 + size_t{*length} > rest.size()) break;
        const std::string_view frame = rest.substr(0, 4 + size_t{*length});
        rest.remove_prefix(frame.size());
        const std::optional<FramedMessage> message = ReadFramedMessage(frame);
        if (!message) continue;
        Require(plist_get_node_type(message->body.get()) == PLIST_DICT);
        // Written back, it is one whole frame; text a client smuggled in (control characters,
        // say) may make it a list libplist will not read again, but never a broken frame.
        const std::string again = FramedBytes(message->body.get(), message->binary);
        Require(ReadFrameLength(again) == again.size() - 4);
        if (const std::optional<FramedMessage> reread = ReadFramedMessage(again))
            Require(plist_dict_get_size(reread->body.get()) ==
                    plist_dict_get_size(message->body.get()));
    }
    return 0;
}
