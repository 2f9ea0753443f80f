// What the tests of the simulator on real sockets share: images, a server on a private socket,
// the Debian clients run against it, a raw multiplexer client written from the protocol, and the
// check that every link ended and the simulator holds nothing open.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/plist_tree.h"
#include "image/image_builder.h"
#include "mobiledevice/sim_control.h"
#include "support/temp_folder.h"
#include "support/test_images.h"
#include "wire/wire_server.h"

namespace bw::testing::wire {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The program's path when it is installed, or empty.
inline std::string InstalledTool(const std::string& name) {
    for (const char* folder : {"/usr/bin", "/usr/local/bin"}) {
        const std::string path = std::string(folder) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

#define BW_REQUIRE_TOOL(path, name)                                      \
    const std::string path = ::bw::testing::wire::InstalledTool(name);   \
    if (path.empty())                                                    \
    GTEST_SKIP() << name                                                 \
                 << " is not installed (Debian: libimobiledevice-utils " \
                    "or ideviceinstaller)"

// A little-endian multiplexer message with an XML property list, built byte by byte.
inline std::string MuxMessage(plist_t body, uint32_t tag, uint32_t version = 1,
                              uint32_t message = 8) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(body, &xml, &length);
    std::string payload(xml, length);
    plist_to_xml_free(xml);
    std::string out;
    for (const uint32_t field : {static_cast<uint32_t>(16 + payload.size()), version, message, tag})
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>((field >> (8 * i)) & 0xFF));
    return out + payload;
}

class RawClient {
  public:
    explicit RawClient(const std::string& socketPath) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        // A server that stops answering fails the test instead of hanging it.
        timeval timeout{10, 0};
        if (fd_ >= 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool Send(std::string_view bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
    }
    bool Read(std::string& out, size_t length) {
        out.assign(length, '\0');
        size_t done = 0;
        while (done < length) {
            const ssize_t got = ::recv(fd_, out.data() + done, length - done, 0);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
    // True when the server closed the link (nothing more to read).
    bool ClosedByPeer() {
        char byte = 0;
        return ::recv(fd_, &byte, 1, 0) == 0;
    }

    // A multiplexer request with `fields` added to the usual ones; the answer's header fields and
    // its property list.
    bool Request(const char* type, sim::DictBuilder fields, uint32_t tag = 7) {
        fields.Text("MessageType", type).Text("ProgName", "wire-test");
        sim::PlistTree body = fields.Take();
        return Send(MuxMessage(body.get(), tag));
    }
    struct Answer {
        uint32_t length = 0, version = 0, message = 0, tag = 0;
        std::string payload;
        sim::PlistTree body;
    };
    std::optional<Answer> ReadMux() {
        std::string header;
        if (!Read(header, 16)) return std::nullopt;
        Answer answer;
        uint32_t* fields[] = {&answer.length, &answer.version, &answer.message, &answer.tag};
        for (int f = 0; f < 4; ++f)
            for (int i = 3; i >= 0; --i)
                *fields[f] = (*fields[f] << 8) | static_cast<unsigned char>(header[4 * f + i]);
        if (answer.length < 16 || answer.length > (1u << 24)) return std::nullopt;
        if (!Read(answer.payload, answer.length - 16)) return std::nullopt;
        if (answer.message == 8) {
            plist_t tree = nullptr;
            plist_from_xml(answer.payload.data(), static_cast<uint32_t>(answer.payload.size()),
                           &tree);
            answer.body.reset(tree);
        }
        return answer;
    }
    // The "Number" of a plist "Result" answer, or -1.
    long ReadResult() {
        const std::optional<Answer> answer = ReadMux();
        if (!answer || answer->body == nullptr) return -1;
        const plist_t number = plist_dict_get_item(answer->body.get(), "Number");
        if (number == nullptr || plist_get_node_type(number) != PLIST_UINT) return -1;
        uint64_t value = 0;
        plist_get_uint_val(number, &value);
        return static_cast<long>(value);
    }

    // A framed (4-byte big-endian length) XML property list, as lockdown and services read them.
    bool SendFramed(plist_t body) {
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(body, &xml, &length);
        std::string frame;
        for (int i = 3; i >= 0; --i)
            frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
        frame.append(xml, length);
        plist_to_xml_free(xml);
        return Send(frame);
    }
    sim::PlistTree ReadFramed() {
        std::string header;
        if (!Read(header, 4)) return nullptr;
        uint32_t length = 0;
        for (const char c : header)
            length = (length << 8) | static_cast<unsigned char>(c);
        std::string list;
        if (length > (1u << 24) || !Read(list, length)) return nullptr;
        plist_t tree = nullptr;
        plist_from_memory(list.data(), length, &tree);
        return sim::PlistTree(tree);
    }
    // Sends a lockdown request and reads its answer.
    sim::PlistTree Lockdown(sim::DictBuilder fields) {
        sim::PlistTree body = fields.Take();
        if (!SendFramed(body.get())) return nullptr;
        return ReadFramed();
    }

  private:
    int fd_ = -1;
};

inline std::string TextAt(plist_t dict, const char* key) {
    const plist_t node = dict != nullptr ? plist_dict_get_item(dict, key) : nullptr;
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<none>";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text != nullptr ? text : "";
    std::free(text);
    return value;
}

inline std::optional<uint64_t> UintAt(plist_t dict, const char* key) {
    const plist_t node = dict != nullptr ? plist_dict_get_item(dict, key) : nullptr;
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

class WireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        socket_ = folder_ / "mux";
    }

    void TearDown() override {
        server_.reset();
        BwSimDetachAll();
        EXPECT_EQ(BwSimWaitForNotifications(10000), 0);
        ExpectNothingOpen();
    }

    std::string MakeImage(const std::string& name, sim::ImageOptions options = {}) {
        const std::string image = folder_ / name;
        std::string error;
        EXPECT_TRUE(MakeTestImage(image, options, error)) << error;
        return image;
    }

    // Attaches the image and waits until its arrival reached every subscription (the server's).
    std::string Attach(const std::string& image) {
        char udid[128] = {};
        EXPECT_EQ(BwSimAttach(image.c_str(), udid, sizeof udid), 0) << BwSimLastError();
        EXPECT_EQ(BwSimWaitForNotifications(10000), 0);
        return udid;
    }

    bool StartServer() {
        std::string error;
        server_ = sim::wire::WireServer::Start(socket_, error);
        EXPECT_NE(server_, nullptr) << error;
        return server_ != nullptr;
    }

    // Runs a client program with the server's socket; output through files in the test folder.
    ToolRun Run(const std::string& command) {
        const std::string out = folder_ / "tool.out", err = folder_ / "tool.err";
        const std::string line = "USBMUXD_SOCKET_ADDRESS=UNIX:" + socket_ + " timeout 60 " +
                                 command + " >" + out + " 2>" + err + " </dev/null";
        const int raw = std::system(line.c_str());
        ToolRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFileBytes(out);
        run.err = ReadFileBytes(err);
        return run;
    }

    // Every link the clients opened has ended (bounded poll of the server's own count).
    bool LinksClosed(int timeoutMs = 10000) { return LinksClosedBut(0, timeoutMs); }
    // All but `open` of them have.
    bool LinksClosedBut(size_t open, int timeoutMs = 10000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (server_->OpenLinks() != open) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static BwSimCounters Counters() {
        BwSimCounters counters{};
        BwSimGetCounters(&counters);
        return counters;
    }

    static void ExpectNothingOpen() {
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.connectedDevices, 0);
        EXPECT_EQ(counters.sessions, 0);
        EXPECT_EQ(counters.serviceConnections, 0);
        EXPECT_EQ(counters.afcConnections, 0);
        EXPECT_EQ(counters.afcFiles, 0);
        EXPECT_EQ(counters.directories, 0);
        EXPECT_EQ(counters.notificationSubscriptions, 0);
    }

    // After a client exits: its links end and it left nothing open on the device.
    void ExpectClientGone() {
        ASSERT_TRUE(LinksClosed()) << server_->OpenLinks() << " links still open";
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.connectedDevices, 0);
        EXPECT_EQ(counters.sessions, 0);
        EXPECT_EQ(counters.serviceConnections, 0);
        EXPECT_EQ(counters.afcConnections, 0);
        EXPECT_EQ(counters.afcFiles, 0);
        EXPECT_EQ(counters.directories, 0);
    }

    TempFolder folder_;
    std::string socket_;
    std::unique_ptr<sim::wire::WireServer> server_;
};

}  // namespace bw::testing::wire
