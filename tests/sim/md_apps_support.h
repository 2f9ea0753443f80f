// What the application tests of the simulator share: bundles written into an image by the test,
// and the framed property-list exchange hosts speak with message services.
#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/plist_tree.h"
#include "md_support.h"

namespace bw::sim::mdtest {

// Starts a service inside a session that ends right after, as the library's operations do.
inline int StartService(AMDeviceRef device, const char* service, AMDServiceConnectionRef* out) {
    if (int status = ConnectAndStartSession(device); status != 0) return status;
    CFStringRef name = Text(service);
    const int status = AMDeviceSecureStartService(device, name, nullptr, out);
    CFRelease(name);
    CloseSession(device);
    return status;
}

inline std::string Serialised(plist_t message, bool binary) {
    char* bytes = nullptr;
    uint32_t length = 0;
    binary ? plist_to_bin(message, &bytes, &length) : plist_to_xml(message, &bytes, &length);
    std::string out(bytes, length);
    binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    return out;
}

// Length, then body, in two sends.
inline bool SendRaw(AMDServiceConnectionRef connection, const std::string& body) {
    const auto length = static_cast<uint32_t>(body.size());
    const char header[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8), static_cast<char>(length)};
    return AMDServiceConnectionSend(connection, header, 4) == 4 &&
           AMDServiceConnectionSend(connection, body.data(), body.size()) ==
               static_cast<int>(body.size());
}

inline bool SendMessage(AMDServiceConnectionRef connection, plist_t message, bool binary) {
    return SendRaw(connection, Serialised(message, binary));
}

struct Reply {
    PlistTree tree;
    bool binary = false;
};

// One framed reply; nothing when the connection has nothing more to say within a second.
inline std::optional<Reply> ReceiveReply(AMDServiceConnectionRef connection) {
    unsigned char header[4];
    if (AMDServiceConnectionReceive(connection, header, 4) != 4) return std::nullopt;
    const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                            (uint32_t{header[2]} << 8) | header[3];
    std::string body(length, '\0');
    size_t done = 0;
    while (done < length) {
        const int got = AMDServiceConnectionReceive(connection, body.data() + done, length - done);
        if (got <= 0) return std::nullopt;
        done += static_cast<size_t>(got);
    }
    plist_t tree = nullptr;
    plist_from_memory(body.data(), length, &tree);
    if (tree == nullptr) return std::nullopt;
    return Reply{PlistTree(tree), body.starts_with("bplist00")};
}

inline std::string Str(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<none>";
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text, length);
}

inline std::optional<uint64_t> Uint(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

inline std::optional<std::string> Data(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    return std::string(bytes != nullptr ? bytes : "", length);
}

inline plist_t Item(plist_t dict, const char* key) {
    return dict != nullptr && plist_get_node_type(dict) == PLIST_DICT
               ? plist_dict_get_item(dict, key)
               : nullptr;
}

inline std::vector<std::string> Strings(std::initializer_list<const char*> texts) {
    return {texts.begin(), texts.end()};
}

inline plist_t StringArray(const std::vector<std::string>& texts) {
    plist_t array = plist_new_array();
    for (const std::string& text : texts)
        plist_array_append_item(array, plist_new_string(text.c_str()));
    return array;
}

// Bundles written straight into an image's fs/, before the image is attached.
class BundleWriter {
  public:
    explicit BundleWriter(std::string image) : fs_(std::move(image) + "/fs") {}

    // Takes away what the builder installed, so that a test sees only its own bundles.
    void RemoveBuilderApps() const {
        namespace fs = std::filesystem;
        for (const char* folder : {"/Applications", "/var/mobile/Applications"}) {
            for (const auto& entry : fs::directory_iterator(fs_ + folder))
                fs::remove_all(entry.path());
        }
        fs::remove(fs_ + "/var/mobile/Library/SpringBoard/IconState.plist");
    }

    // Returns the bundle's host folder. `uuid` empty: a system application.
    std::string AppWithInfo(const std::string& uuid, const std::string& bundleName,
                            plist_t info) const {
        const std::string folder =
            uuid.empty() ? fs_ + "/Applications/" + bundleName + ".app"
                         : fs_ + "/var/mobile/Applications/" + uuid + "/" + bundleName + ".app";
        File(folder + "/Info.plist", PlistXml(info));
        plist_free(info);
        return folder;
    }

    std::string App(const std::string& uuid, const std::string& bundleName,
                    const std::string& bundleId, const std::string& displayName = "") const {
        DictBuilder info;
        info.Text("CFBundleIdentifier", bundleId)
            .Text("CFBundleName", bundleName)
            .Text("CFBundleVersion", "1.0");
        if (!displayName.empty()) info.Text("CFBundleDisplayName", displayName);
        return AppWithInfo(uuid, bundleName, info.Release());
    }

    static void File(const std::string& path, const std::string& bytes) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr) << path;
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }

    const std::string& fs() const { return fs_; }

  private:
    std::string fs_;
};

}  // namespace bw::sim::mdtest
