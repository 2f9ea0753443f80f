#include "usbmux_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace bw::imd {
namespace {

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t now = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (now < 0 && errno == EINTR) continue;
        if (now <= 0) return false;
        sent += static_cast<size_t>(now);
    }
    return true;
}

bool ReceiveAll(int fd, void* buffer, size_t length) {
    auto* at = static_cast<char*>(buffer);
    while (length > 0) {
        const ssize_t got = ::recv(fd, at, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        at += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// The next message usbmuxd sends; nullopt when the connection ends or breaks the framing.
// Messages this runtime cannot use come back as Kind::Other.
std::optional<MuxMessage> ReceiveMessage(int fd) {
    std::array<unsigned char, kMuxHeaderBytes> header{};
    if (!ReceiveAll(fd, header.data(), header.size())) return std::nullopt;
    const std::optional<uint32_t> length = MuxBodyLength(header);
    if (!length) return std::nullopt;
    std::string body(*length, '\0');
    if (!ReceiveAll(fd, body.data(), body.size())) return std::nullopt;
    return ReadMuxMessage(body).value_or(MuxMessage{});
}

}  // namespace

int ConnectUsbmuxd() {
    const char* configured = std::getenv("USBMUXD_SOCKET_ADDRESS");
    const std::string address =
        configured != nullptr && *configured != '\0' ? configured : "UNIX:/var/run/usbmuxd";
    if (address.rfind("UNIX:", 0) == 0) {
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        const std::string path = address.substr(5);
        if (path.empty() || path.size() >= sizeof where.sun_path) return -1;
        std::memcpy(where.sun_path, path.data(), path.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0)
            return fd;
        if (fd >= 0) ::close(fd);
        return -1;
    }
    // An IPv4 address and a port, as a usbmuxd forwarded over TCP is reached.
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos) return -1;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    char* end = nullptr;
    const unsigned long port = std::strtoul(address.c_str() + colon + 1, &end, 10);
    if (end == address.c_str() + colon + 1 || *end != '\0' || port == 0 || port > 0xFFFF ||
        ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &where.sin_addr) != 1) {
        return -1;
    }
    where.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0)
        return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

UsbmuxListener::UsbmuxListener(Callbacks callbacks) : callbacks_(std::move(callbacks)) {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return firstTryOver_; });
}

UsbmuxListener::~UsbmuxListener() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    changed_.notify_all();
    thread_.join();
}

void UsbmuxListener::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const int fd = ConnectUsbmuxd();
        lock.lock();
        if (fd >= 0 && !stopping_) {
            fd_ = fd;
            lock.unlock();
            Serve(fd);
            lock.lock();
            fd_ = -1;
        }
        if (fd >= 0) ::close(fd);
        firstTryOver_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; });
    }
    firstTryOver_ = true;
    changed_.notify_all();
}

void UsbmuxListener::Serve(int fd) {
    if (!SendAll(fd, MuxRequest("Listen", 2))) return;
    const std::optional<MuxMessage> result = ReceiveMessage(fd);
    if (!result || result->kind != MuxMessage::Kind::Result || result->number != 0) return;
    callbacks_.connected();
    {
        // A host that subscribed hears every change from here on.
        std::lock_guard<std::mutex> lock(mutex_);
        firstTryOver_ = true;
    }
    changed_.notify_all();
    while (const std::optional<MuxMessage> message = ReceiveMessage(fd)) {
        if (message->kind == MuxMessage::Kind::Attached) callbacks_.changed(true, message->device);
        if (message->kind == MuxMessage::Kind::Detached) callbacks_.changed(false, message->device);
    }
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lost = !stopping_;
    }
    if (lost) callbacks_.lost();
}

}  // namespace bw::imd
