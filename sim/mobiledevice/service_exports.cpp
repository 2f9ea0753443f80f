// Starting services and exchanging messages with them.
#include <climits>

#include "MobileDevice.h"
#include "connection.h"
#include "failures.h"
#include "services/house_arrest.h"
#include "status.h"
#include "text.h"

using namespace bw::sim::md;

namespace {

constexpr char kHouseArrestService[] = "com.apple.mobile.house_arrest";

// How long Receive waits for a message that has not arrived yet (a relayed notification, say).
constexpr std::chrono::milliseconds kReceiveWait{1000};

int StartByName(AMDeviceRef device, CFStringRef serviceName, StartKind kind,
                AMDServiceConnectionRef* out) {
    const std::optional<std::string> name = Utf8Text(serviceName);
    if (!name || out == nullptr) return kAmdInvalidArgument;
    return StartServiceConnection(
        device, *name,
        [&name](Device& found) {
            const ServiceFactory factory = FindServiceFactory(*name);
            return factory != nullptr ? factory(found) : ServiceStart{kAmdInvalidService, nullptr};
        },
        kind, out);
}

}  // namespace

extern "C" {

int AMDeviceStartService(AMDeviceRef device, CFStringRef serviceName,
                         AMDServiceConnectionRef* outHandle, unsigned int*) {
    if (const auto failure = TakeFailure(__func__, serviceName)) return *failure;
    return StartByName(device, serviceName, StartKind::Legacy, outHandle);
}

// Options (such as "CloseOnInvalidate") change nothing here: every connection closes on
// invalidation.
int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef serviceName, CFDictionaryRef,
                               AMDServiceConnectionRef* outConnection) {
    if (const auto failure = TakeFailure(__func__, serviceName)) return *failure;
    return StartByName(device, serviceName, StartKind::Secure, outConnection);
}

int AMDeviceStartHouseArrestService(AMDeviceRef device, CFStringRef bundleId,
                                    CFDictionaryRef options, AMDServiceConnectionRef* outHandle,
                                    unsigned int*) {
    if (const auto failure = TakeFailure(__func__, bundleId)) return *failure;
    const std::optional<std::string> identifier = Utf8Text(bundleId);
    if (!identifier || outHandle == nullptr) return kAmdInvalidArgument;
    const std::optional<HouseArrestCommand> command = ReadHouseArrestCommand(options);
    if (!command) return kAmdInvalidArgument;
    return StartServiceConnection(
        device, kHouseArrestService,
        [&](Device& found) { return StartHouseArrest(found, *identifier, *command); },
        StartKind::Legacy, outHandle);
}

AMDServiceConnectionRef AMDServiceConnectionCreate(const void* socketOrConnection, void*,
                                                   CFDictionaryRef) {
    if (TakeFailure(__func__)) return nullptr;
    Holding holding = HoldConnection(socketOrConnection);
    if (holding.channel == nullptr) return nullptr;
    return NewConnectionOn(std::move(holding));
}

int AMDServiceConnectionGetSocket(AMDServiceConnectionRef connection) {
    if (TakeFailure(__func__)) return -1;
    const std::shared_ptr<Channel> channel = FindChannel(connection);
    return channel != nullptr ? channel->socket() : -1;
}

void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef connection) {
    if (TakeFailure(__func__)) return nullptr;
    const std::shared_ptr<Channel> channel = FindChannel(connection);
    return channel != nullptr ? reinterpret_cast<void*>(channel->secureContext()) : nullptr;
}

// A failure of a send or receive may be aimed at one service by its name.
const char* ServiceName(const std::shared_ptr<Channel>& channel) {
    return channel != nullptr ? channel->name().c_str() : nullptr;
}

int AMDServiceConnectionSend(AMDServiceConnectionRef connection, const void* bytes, size_t length) {
    const std::shared_ptr<Channel> channel = FindChannel(connection);
    if (TakeFailure(__func__, ServiceName(channel))) return -1;
    if ((bytes == nullptr && length > 0) || length > INT_MAX) return -1;
    if (channel == nullptr || !channel->Send(bytes, length)) return -1;
    return static_cast<int>(length);
}

int AMDServiceConnectionReceive(AMDServiceConnectionRef connection, void* buffer, size_t length) {
    const std::shared_ptr<Channel> channel = FindChannel(connection);
    if (TakeFailure(__func__, ServiceName(channel))) return -1;
    if (buffer == nullptr && length > 0) return -1;
    if (channel == nullptr) return -1;
    return static_cast<int>(channel->Receive(buffer, length, kReceiveWait));
}

void AMDServiceConnectionInvalidate(AMDServiceConnectionRef connection) {
    if (TakeFailure(__func__)) return;
    if (const std::shared_ptr<Channel> channel = FindChannel(connection)) channel->Close();
}

}  // extern "C"
