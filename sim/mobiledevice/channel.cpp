#include "channel.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/plist_input_check.h"
#include "common/plist_tree.h"
#include "counters.h"
#include "device.h"

namespace bw::sim::md {
namespace {

// No service message comes close: a request larger than this is a broken stream, and must not
// make the device allocate what its length field claims.
constexpr uint32_t kLargestMessage = 64u * 1024 * 1024;

// Service messages start with their length as a 32-bit big-endian number.
uint32_t MessageLength(const std::string& inbox) {
    const auto* header = reinterpret_cast<const unsigned char*>(inbox.data());
    return (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) | (uint32_t{header[2]} << 8) |
           header[3];
}

PlistTree ParseMessage(const std::string& bytes, bool& binary) {
    binary = LooksLikeBinaryPlist(bytes);
    return ParseCheckedPlist(bytes);
}

std::string Serialise(plist_t message, bool binary) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(message, &bytes, &length);
    } else {
        plist_to_xml(message, &bytes, &length);
    }
    std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
    if (bytes != nullptr) binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    return out;
}

}  // namespace

Channel::Channel(Device& device, std::string name, std::unique_ptr<Service> service, int socket,
                 uintptr_t secureContext)
    : device_(device),
      name_(std::move(name)),
      socket_(socket),
      secureContext_(secureContext),
      service_(std::move(service)) {
    ++GlobalCounters().serviceConnections;
}

Channel::~Channel() {
    Close();
}

bool Channel::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_ && device_.attached;
}

void Channel::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    --GlobalCounters().serviceConnections;
    arrived_.notify_all();
}

bool Channel::TakeMessage(std::string& message) {
    if (inbox_.size() < 4) return false;
    const uint32_t length = MessageLength(inbox_);
    if (inbox_.size() - 4 < length) return false;
    message.assign(inbox_, 4, length);
    inbox_.erase(0, 4 + static_cast<size_t>(length));
    return true;
}

bool Channel::Send(const void* bytes, size_t length) {
    if (!service_->AfcRoot().empty()) return false;  // AFC is spoken through the AFC functions
    std::lock_guard<std::mutex> dispatch(dispatch_);
    std::vector<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || !device_.attached) return false;
        inbox_.append(static_cast<const char*>(bytes), length);
        if (inbox_.size() >= 4 && MessageLength(inbox_) > kLargestMessage) {
            inbox_.clear();
            closed_ = true;
            --GlobalCounters().serviceConnections;
            arrived_.notify_all();
            return false;
        }
        std::string message;
        while (TakeMessage(message))
            messages.push_back(std::move(message));
    }
    for (const std::string& message : messages) {
        bool binary = false;
        const PlistTree request = ParseMessage(message, binary);
        if (request == nullptr) {
            Close();
            return false;
        }
        service_->OnMessage(*this, request.get(), binary);
    }
    return true;  // delivered, even when the service closed the stream in answer
}

long Channel::Receive(void* buffer, size_t length, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, wait, [&] { return outboxRead_ < outbox_.size() || closed_; });
    const size_t available = outbox_.size() - outboxRead_;
    if (available == 0) return closed_ || !device_.attached ? 0 : -1;
    const size_t count = std::min({available, length, size_t{0x7fffffff}});
    std::memcpy(buffer, outbox_.data() + outboxRead_, count);
    outboxRead_ += count;
    if (outboxRead_ == outbox_.size()) {
        outbox_.clear();
        outboxRead_ = 0;
    }
    return static_cast<long>(count);
}

void Channel::Reply(plist_t message, bool binary) {
    const std::string body = Serialise(message, binary);
    if (body.empty()) return;
    const auto size = static_cast<uint32_t>(body.size());
    const char header[4] = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                            static_cast<char>(size >> 8), static_cast<char>(size)};
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    outbox_.append(header, 4);
    outbox_ += body;
    arrived_.notify_all();
}

}  // namespace bw::sim::md
