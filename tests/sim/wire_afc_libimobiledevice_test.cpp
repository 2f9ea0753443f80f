// libimobiledevice's own AFC client against the simulator's AFC server. The client reaches
// devices only through usbmuxd, so the test stands in for usbmuxd on a Unix socket of its own
// (libusbmuxd takes its address from USBMUXD_SOCKET_ADDRESS): "ListDevices" names one USB device,
// and "Connect" to the AFC port answers "Result" 0 and hands that very connection to ServeAfc.
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "md_support.h"
#include "wire/afc_server.h"

namespace bw::sim::wiretest {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kAfcPort = 0xF27E;
constexpr uint32_t kMuxPlistMessage = 8;

std::string DiskBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ReadFully(int fd, char* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t count = ::recv(fd, out + got, length - got, 0);
        if (count <= 0) return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

// One usbmuxd message: a 16-byte little-endian header (length, version 1, type 8, tag) and an
// XML property list.
bool SendMuxPlist(int fd, uint32_t tag, plist_t message) {
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(message, &xml, &size);
    std::string packet;
    for (const uint32_t field : {16 + size, 1u, kMuxPlistMessage, tag})
        for (int i = 0; i < 4; ++i)
            packet.push_back(static_cast<char>(field >> (8 * i)));
    packet.append(xml, size);
    plist_to_xml_free(xml);
    return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(packet.size());
}

class MuxStandIn {
  public:
    MuxStandIn(const std::string& path, std::string udid, AFCConnectionRef afc)
        : udid_(std::move(udid)), afc_(afc) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        listening_ =
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener_, 4) == 0;
        thread_ = std::thread([this] { Accept(); });
    }

    ~MuxStandIn() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }

    bool listening() const { return listening_; }
    int afcSessions() const { return afcSessions_; }

  private:
    void Accept() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            Answer(fd);
            ::close(fd);
        }
    }

    void Answer(int fd) {
        char header[16];
        if (!ReadFully(fd, header, sizeof header)) return;
        uint32_t fields[4];
        for (int f = 0; f < 4; ++f) {
            fields[f] = 0;
            for (int i = 3; i >= 0; --i)
                fields[f] = (fields[f] << 8) | static_cast<unsigned char>(header[4 * f + i]);
        }
        if (fields[0] < 16 || fields[0] > 65536 || fields[2] != kMuxPlistMessage) return;
        std::string body(fields[0] - 16, '\0');
        if (!ReadFully(fd, body.data(), body.size())) return;
        plist_t request = nullptr;
        plist_from_xml(body.data(), static_cast<uint32_t>(body.size()), &request);
        const PlistTree owned(request);
        char* type = nullptr;
        plist_get_string_val(plist_dict_get_item(request, "MessageType"), &type);
        const std::string messageType = type != nullptr ? type : "";
        std::free(type);
        const uint32_t tag = fields[3];

        if (messageType == "ListDevices") {
            plist_t properties = plist_new_dict();
            plist_dict_set_item(properties, "ConnectionType", plist_new_string("USB"));
            plist_dict_set_item(properties, "DeviceID", plist_new_uint(1));
            plist_dict_set_item(properties, "LocationID", plist_new_uint(0));
            plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12A8));
            plist_dict_set_item(properties, "SerialNumber", plist_new_string(udid_.c_str()));
            plist_t device = plist_new_dict();
            plist_dict_set_item(device, "DeviceID", plist_new_uint(1));
            plist_dict_set_item(device, "MessageType", plist_new_string("Attached"));
            plist_dict_set_item(device, "Properties", properties);
            plist_t list = plist_new_array();
            plist_array_append_item(list, device);
            const PlistTree answer(plist_new_dict());
            plist_dict_set_item(answer.get(), "DeviceList", list);
            SendMuxPlist(fd, tag, answer.get());
            return;
        }
        uint64_t port = 0;
        plist_get_uint_val(plist_dict_get_item(request, "PortNumber"), &port);
        const bool toAfc =
            messageType == "Connect" && ntohs(static_cast<uint16_t>(port)) == kAfcPort;
        const PlistTree result(plist_new_dict());
        plist_dict_set_item(result.get(), "MessageType", plist_new_string("Result"));
        plist_dict_set_item(result.get(), "Number", plist_new_uint(toAfc ? 0 : 3));
        if (!SendMuxPlist(fd, tag, result.get()) || !toAfc) return;
        ++afcSessions_;
        wire::ServeAfc(fd, afc_);
    }

    std::string udid_;
    AFCConnectionRef afc_;
    int listener_ = -1;
    bool listening_ = false;
    std::atomic<int> afcSessions_{0};
    std::thread thread_;
};

class WireAfcLibimobiledevice : public mdtest::SimMdTest {};

TEST_F(WireAfcLibimobiledevice, ItsAfcClientWorksAgainstTheServer) {
    const std::string image = MakeImage();
    const std::string udid = Attach(image);
    AFCConnectionRef afc = mdtest::OpenAfc(Device(udid));
    ASSERT_NE(afc, nullptr);
    const std::string media = image + "/fs/var/mobile/Media";
    fs::create_directories(media + "/Wire");
    std::ofstream(media + "/Wire/phone.txt", std::ios::binary) << "written by the phone";

    const std::string socketPath = folder_ / "usbmuxd";
    {
        MuxStandIn mux(socketPath, udid, afc);
        ASSERT_TRUE(mux.listening());
        ASSERT_EQ(::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socketPath).c_str(), 1), 0);

        idevice_t device = nullptr;
        ASSERT_EQ(idevice_new_with_options(&device, udid.c_str(), IDEVICE_LOOKUP_USBMUX),
                  IDEVICE_E_SUCCESS);
        lockdownd_service_descriptor service{kAfcPort, 0, nullptr};
        afc_client_t client = nullptr;
        ASSERT_EQ(afc_client_new(device, &service, &client), AFC_E_SUCCESS);

        char* model = nullptr;
        EXPECT_EQ(afc_get_device_info_key(client, "FSTotalBytes", &model), AFC_E_SUCCESS);
        EXPECT_NE(model, nullptr);
        std::free(model);

        char** names = nullptr;
        ASSERT_EQ(afc_read_directory(client, "/Wire", &names), AFC_E_SUCCESS);
        std::vector<std::string> listed;
        for (char** name = names; name != nullptr && *name != nullptr; ++name)
            listed.emplace_back(*name);
        afc_dictionary_free(names);
        names = nullptr;
        EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "phone.txt"}));

        char** info = nullptr;
        ASSERT_EQ(afc_get_file_info(client, "/Wire/phone.txt", &info), AFC_E_SUCCESS);
        std::map<std::string, std::string> pairs;
        for (char** at = info; at != nullptr && at[0] != nullptr && at[1] != nullptr; at += 2)
            pairs[at[0]] = at[1];
        afc_dictionary_free(info);
        info = nullptr;
        EXPECT_EQ(pairs["st_size"], "20");
        EXPECT_EQ(pairs["st_ifmt"], "S_IFREG");

        uint64_t handle = 0;
        ASSERT_EQ(afc_file_open(client, "/Wire/phone.txt", AFC_FOPEN_RDONLY, &handle),
                  AFC_E_SUCCESS);
        char buffer[64] = {};
        uint32_t got = 0;
        EXPECT_EQ(afc_file_read(client, handle, buffer, sizeof buffer, &got), AFC_E_SUCCESS);
        EXPECT_EQ(std::string(buffer, got), "written by the phone");
        EXPECT_EQ(afc_file_seek(client, handle, 8, SEEK_SET), AFC_E_SUCCESS);
        uint64_t position = 0;
        EXPECT_EQ(afc_file_tell(client, handle, &position), AFC_E_SUCCESS);
        EXPECT_EQ(position, 8u);
        EXPECT_EQ(afc_file_close(client, handle), AFC_E_SUCCESS);

        const std::string pushed(100000, 'p');
        ASSERT_EQ(afc_file_open(client, "/Wire/pushed.bin", AFC_FOPEN_WRONLY, &handle),
                  AFC_E_SUCCESS);
        uint32_t written = 0;
        EXPECT_EQ(afc_file_write(client, handle, pushed.data(),
                                 static_cast<uint32_t>(pushed.size()), &written),
                  AFC_E_SUCCESS);
        EXPECT_EQ(written, pushed.size());
        EXPECT_EQ(afc_file_close(client, handle), AFC_E_SUCCESS);
        EXPECT_EQ(DiskBytes(media + "/Wire/pushed.bin"), pushed);

        EXPECT_EQ(afc_make_directory(client, "/Wire/made"), AFC_E_SUCCESS);
        EXPECT_EQ(afc_rename_path(client, "/Wire/pushed.bin", "/Wire/made/moved.bin"),
                  AFC_E_SUCCESS);
        EXPECT_EQ(DiskBytes(media + "/Wire/made/moved.bin"), pushed);
        EXPECT_EQ(afc_remove_path(client, "/Wire/phone.txt"), AFC_E_SUCCESS);
        EXPECT_FALSE(fs::exists(media + "/Wire/phone.txt"));
        // The client reads the device's answer for a folder that is not empty as its own code.
        EXPECT_EQ(afc_remove_path(client, "/Wire"), AFC_E_DIR_NOT_EMPTY);
        EXPECT_EQ(afc_remove_path_and_contents(client, "/Wire"), AFC_E_SUCCESS);
        EXPECT_FALSE(fs::exists(media + "/Wire"));
        EXPECT_EQ(afc_get_file_info(client, "/Wire", &info), AFC_E_OBJECT_NOT_FOUND);

        // Left open: the server closes it when the client goes.
        ASSERT_EQ(afc_file_open(client, "/left.txt", AFC_FOPEN_WR, &handle), AFC_E_SUCCESS);
        afc_client_free(client);
        idevice_free(device);
        ::unsetenv("USBMUXD_SOCKET_ADDRESS");
        EXPECT_EQ(mux.afcSessions(), 1);
        // Leaving the scope waits for the stand-in's thread, so for the session to end.
    }
    const BwSimCounters counters = mdtest::Counters();
    EXPECT_EQ(counters.afcFiles, 0);
    EXPECT_EQ(counters.directories, 0);
    EXPECT_EQ(counters.keyValueIterators, 0);
    EXPECT_EQ(AFCConnectionClose(afc), 0);
}

}  // namespace
}  // namespace bw::sim::wiretest
