#include "host_connection.h"

#include <chrono>

#include "messages.h"

namespace bw::sim::ath {
namespace {

constexpr char kAirTrafficService[] = "com.apple.atc";
constexpr int kSessionActive = static_cast<int>(0xE800001Du);

// How long ReadMessage waits for a device message before it answers NULL: short, because hosts
// poll it from a loop that also watches for cancellation.
constexpr std::chrono::milliseconds kReadWait{300};

// No AirTraffic message comes near this; a larger length is a broken stream.
constexpr uint32_t kLargestMessage = 16u * 1024 * 1024;

AMDeviceRef FindDevice(CFArrayRef devices, const std::string& udid) {
    const CFIndex count = devices != nullptr ? CFArrayGetCount(devices) : 0;
    for (CFIndex i = 0; i < count; ++i) {
        auto* device =
            static_cast<AMDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(devices, i)));
        const CFStringRef identifier = AMDeviceCopyDeviceIdentifier(device);
        const bool same = Utf8(identifier) == udid;
        if (identifier != nullptr) CFRelease(identifier);
        if (same) return device;
    }
    return nullptr;
}

// The service start the library makes: a short session around it, the connection outliving it.
AMDServiceConnectionRef StartService(AMDeviceRef device) {
    if (AMDeviceConnect(device) != 0) return nullptr;
    if (AMDeviceIsPaired(device) != 1 || AMDeviceValidatePairing(device) != 0) {
        AMDeviceDisconnect(device);
        return nullptr;
    }
    // The simulated device keeps one session for all its lockdown connections: when the host
    // holds one already, the service starts inside it, and it stays the host's to stop.
    const int session = AMDeviceStartSession(device);
    if (session != 0 && session != kSessionActive) {
        AMDeviceDisconnect(device);
        return nullptr;
    }
    AMDServiceConnectionRef service = nullptr;
    const CFStringRef name =
        CFStringCreateWithCString(nullptr, kAirTrafficService, kCFStringEncodingUTF8);
    const int status = AMDeviceSecureStartService(device, name, nullptr, &service);
    CFRelease(name);
    if (session == 0) AMDeviceStopSession(device);
    AMDeviceDisconnect(device);
    return status == 0 ? service : nullptr;
}

}  // namespace

std::shared_ptr<HostConnection> HostConnection::Open(const std::string& udid) {
    const CFArrayRef devices = AMDCreateDeviceList();
    AMDeviceRef device = FindDevice(devices, udid);
    if (devices != nullptr) CFRelease(devices);
    if (device == nullptr) return nullptr;
    const AMDServiceConnectionRef service = StartService(device);
    if (service == nullptr) return nullptr;
    auto connection = std::make_shared<HostConnection>(service);
    connection->reader_ = std::thread([raw = connection.get()] { raw->ReadLoop(); });
    return connection;
}

HostConnection::~HostConnection() {
    Invalidate();
    for (const CFDictionaryRef message : queue_)
        CFRelease(message);
    CFRelease(service_);
}

int HostConnection::Send(CFDictionaryRef message) {
    if (invalidated_) return kStatusNotConnected;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (linkDead_) return kStatusNotConnected;
    }
    const CFDataRef body = CFPropertyListCreateData(nullptr, message, 200, 0, nullptr);
    if (body == nullptr) return kStatusInvalidArgument;
    const auto length = static_cast<uint32_t>(CFDataGetLength(body));
    const unsigned char header[4] = {
        static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    int status = 0;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        if (AMDServiceConnectionSend(service_, header, sizeof header) != sizeof header ||
            AMDServiceConnectionSend(service_, CFDataGetBytePtr(body), length) !=
                static_cast<int>(length))
            status = kStatusWriteFailed;
    }
    CFRelease(body);
    return status;
}

CFDictionaryRef HostConnection::Read() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, kReadWait,
                      [this] { return invalidated_ || linkDead_ || !queue_.empty(); });
    if (invalidated_ || queue_.empty()) return nullptr;
    const CFDictionaryRef message = queue_.front();
    queue_.pop_front();
    return message;
}

void HostConnection::Invalidate() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!invalidated_.exchange(true)) arrived_.notify_all();
    }
    // Closing the service connection ends the reader's receive at once.
    AMDServiceConnectionInvalidate(service_);
    std::lock_guard<std::mutex> join(joinMutex_);
    if (reader_.joinable()) reader_.join();
}

HostConnection::Received HostConnection::ReceiveExactly(std::string& bytes, size_t length) {
    bytes.assign(length, '\0');
    size_t got = 0;
    while (got < length) {
        if (invalidated_) return Received::Stopped;
        const int count = AMDServiceConnectionReceive(service_, bytes.data() + got, length - got);
        if (count == 0) return Received::Closed;
        if (count > 0) got += static_cast<size_t>(count);
        // -1: nothing within the runtime's wait; ask again.
    }
    return Received::Whole;
}

void HostConnection::ReadLoop() {
    std::string header;
    std::string body;
    while (ReceiveExactly(header, 4) == Received::Whole) {
        const auto* size = reinterpret_cast<const unsigned char*>(header.data());
        const uint32_t length = (uint32_t{size[0]} << 24) | (uint32_t{size[1]} << 16) |
                                (uint32_t{size[2]} << 8) | size[3];
        if (length == 0 || length > kLargestMessage) break;
        if (ReceiveExactly(body, length) != Received::Whole) break;
        const CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(body.data()),
                                            static_cast<CFIndex>(length));
        const CFPropertyListRef message =
            data != nullptr ? CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr)
                            : nullptr;
        if (data != nullptr) CFRelease(data);
        if (!IsOfType(message, CFDictionaryGetTypeID())) {
            if (message != nullptr) CFRelease(message);
            break;
        }
        const auto dictionary = static_cast<CFDictionaryRef>(message);
        int64_t session = 0;
        const auto number = static_cast<CFNumberRef>(GetValue(dictionary, "Session"));
        if (IsOfType(number, CFNumberGetTypeID()) &&
            CFNumberGetValue(number, kCFNumberSInt64Type, &session) && session >= 0 &&
            session <= UINT32_MAX)
            session_ = static_cast<uint32_t>(session);
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(dictionary);
        arrived_.notify_all();
    }
    LinkEnded();
}

// A link that dies under the host leaves one "ConnectionInvalid" after what arrived before it,
// so a host that reads on learns why the messages stopped; one the host ended leaves nothing.
void HostConnection::LinkEnded() {
    const CFDictionaryRef notice =
        invalidated_ ? nullptr : NewMessage(session_, "ConnectionInvalid", nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (notice != nullptr) queue_.push_back(notice);
    linkDead_ = true;
    arrived_.notify_all();
}

}  // namespace bw::sim::ath
