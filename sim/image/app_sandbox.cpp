#include "app_sandbox.h"

#include <cstring>

#include "app_icons.h"
#include "common/plist_tree.h"

namespace bw::sim {
namespace {

constexpr int64_t kUnixToReferenceDate = 978307200;  // 1970 to 2001, in seconds

void PutBig32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

void PutLittle32(std::string& out, uint32_t value) {
    for (int shift = 0; shift <= 24; shift += 8)
        out += static_cast<char>((value >> shift) & 0xff);
}

void PutDouble(std::string& out, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift <= 56; shift += 8)
        out += static_cast<char>((bits >> shift) & 0xff);
}

std::string CookieRecord(const CookieSpec& cookie) {
    constexpr uint32_t kHeader = 56;
    const uint32_t urlOffset = kHeader;
    const uint32_t nameOffset = urlOffset + static_cast<uint32_t>(cookie.domain.size()) + 1;
    const uint32_t pathOffset = nameOffset + static_cast<uint32_t>(cookie.name.size()) + 1;
    const uint32_t valueOffset = pathOffset + static_cast<uint32_t>(cookie.path.size()) + 1;
    const uint32_t size = valueOffset + static_cast<uint32_t>(cookie.value.size()) + 1;
    std::string record;
    PutLittle32(record, size);
    PutLittle32(record, 0);
    PutLittle32(record, cookie.flags);
    PutLittle32(record, 0);
    PutLittle32(record, urlOffset);
    PutLittle32(record, nameOffset);
    PutLittle32(record, pathOffset);
    PutLittle32(record, valueOffset);
    record.append(8, '\0');
    PutDouble(record, cookie.expires);
    PutDouble(record, cookie.created);
    for (const std::string* text : {&cookie.domain, &cookie.name, &cookie.path, &cookie.value}) {
        record += *text;
        record += '\0';
    }
    return record;
}

std::string CookiePage(const std::vector<CookieSpec>& cookies) {
    std::vector<std::string> records;
    for (const CookieSpec& cookie : cookies)
        records.push_back(CookieRecord(cookie));
    std::string page = {'\0', '\0', '\x01', '\0'};
    PutLittle32(page, static_cast<uint32_t>(records.size()));
    uint32_t offset = 8 + 4 * static_cast<uint32_t>(records.size()) + 4;
    for (const std::string& record : records) {
        PutLittle32(page, offset);
        offset += static_cast<uint32_t>(record.size());
    }
    page.append(4, '\0');
    for (const std::string& record : records)
        page += record;
    return page;
}

std::string RandomBytes(SeededRandom& random, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; i += 8) {
        const uint64_t value = random.Next();
        for (size_t j = 0; j < 8 && i + j < count; ++j)
            bytes[i + j] = static_cast<char>((value >> (8 * j)) & 0xff);
    }
    return bytes;
}

// A file of the URL loading cache: a response body, here JSON-like text of random size.
std::string CachedResponse(SeededRandom& random, size_t size) {
    std::string body = "{\"id\":\"" + random.LowerHex(16) + "\",\"items\":[";
    while (body.size() + 4 < size)
        body.append("\"").append(random.LowerHex(12)).append("\",");
    body += "0]}";
    return body;
}

std::string SqliteLookalike(SeededRandom& random, size_t pages) {
    std::string bytes("SQLite format 3", 16);  // the header string with its NUL
    bytes += RandomBytes(random, pages * 1024 - bytes.size());
    return bytes;
}

class SandboxWriter {
  public:
    SandboxWriter(ImageWriter& writer, const SandboxSpec& spec)
        : writer_(writer), spec_(spec), random_(spec.seed, "sandbox-" + spec.bundleId) {}

    bool Write() { return Folders() && KeptData() && (spec_.junk == SandboxJunk::Empty || Junk()); }

  private:
    std::string Path(const std::string& relative) const { return spec_.container + relative; }

    bool Folders() {
        for (const char* folder : {"/Documents", "/Library/Caches", "/Library/Cookies",
                                   "/Library/Preferences", "/Library/tmp", "/tmp"})
            if (!writer_.Folder(Path(folder))) return false;
        return spec_.junk != SandboxJunk::CapitalTmp || writer_.Folder(Path("/Library/Tmp"));
    }

    // What the user keeps: no scan may report it.
    bool KeptData() {
        DictBuilder preferences;
        preferences.Flag("FirstLaunchDone", true)
            .Integer("LaunchCount", static_cast<uint64_t>(random_.Between(1, 400)))
            .Text("LastVersionSeen", "1.0");
        const PlistTree tree = preferences.Take();
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(tree.get(), &bytes, &length);
        const std::string binary = bytes != nullptr ? std::string(bytes, length) : std::string();
        if (bytes != nullptr) plist_to_bin_free(bytes);
        if (!writer_.File(Path("/Library/Preferences/" + spec_.bundleId + ".plist"), binary))
            return false;
        const int documents = static_cast<int>(random_.Between(1, 3));
        for (int i = 1; i <= documents; ++i) {
            const std::string name = "/Documents/" + spec_.name + "-" + std::to_string(i) + ".dat";
            if (!writer_.File(Path(name), RandomBytes(random_, random_.Between(200, 6000))))
                return false;
        }
        return writer_.File(Path("/Library/Application Support/" + spec_.name + "/store.sqlite"),
                            SqliteLookalike(random_, 4));
    }

    bool Junk() { return Caches() && Cookies() && Temporary(); }

    bool Caches() {
        const std::string own = "/Library/Caches/" + spec_.bundleId;
        if (!writer_.File(Path(own + "/Cache.db"), SqliteLookalike(random_, 8)) ||
            !writer_.File(Path(own + "/Cache.db-shm"), std::string(32768, '\0')) ||
            !writer_.File(Path(own + "/Cache.db-wal"), SqliteLookalike(random_, 2)))
            return false;
        const int responses = static_cast<int>(random_.Between(2, 6));
        for (int i = 0; i < responses; ++i) {
            const std::string path = own + "/fsCachedData/" + RandomUuid(random_);
            if (!writer_.File(Path(path), CachedResponse(random_, random_.Between(300, 20000))))
                return false;
        }
        // The picture iOS takes of the screen when the application goes to the background.
        IconSpec snapshot{64, spec_.seed, spec_.bundleId + "-snapshot"};
        std::string png, error;
        if (!EncodeIcon(snapshot, png, error)) return writer_.Fail(error);
        if (!writer_.File(Path("/Library/Caches/Snapshots/" + spec_.bundleId +
                               "/UIApplicationAutomaticSnapshotDefault-Portrait@2x.png"),
                          png))
            return false;
        if (spec_.junk != SandboxJunk::DeepCaches) return true;
        const int tiles = static_cast<int>(random_.Between(4, 9));
        for (int i = 0; i < tiles; ++i) {
            const int zoom = static_cast<int>(random_.Between(12, 15));
            const std::string path = "/Library/Caches/MapTiles/" + std::to_string(zoom) + "/" +
                                     std::to_string(random_.Between(1000, 1100)) + "/" +
                                     std::to_string(random_.Between(2000, 2100)) + ".tile";
            if (!writer_.File(Path(path), RandomBytes(random_, random_.Between(500, 3000))))
                return false;
        }
        return true;
    }

    bool Cookies() {
        if (!spec_.cookies) return true;
        const double now = static_cast<double>(spec_.now - kUnixToReferenceDate);
        const std::string domain = "." + spec_.name + ".example.com";
        std::vector<std::vector<CookieSpec>> pages(1);
        pages[0].push_back({domain, "session", "/", random_.LowerHex(32), 5,
                            now + 86400.0 * static_cast<double>(random_.Between(1, 30)),
                            now - 3600.0 * static_cast<double>(random_.Between(1, 48))});
        pages[0].push_back({domain, "locale", "/", "en_US", 0, now + 86400.0 * 365,
                            now - 86400.0 * static_cast<double>(random_.Between(2, 20))});
        if (random_.Chance(50)) {
            pages.emplace_back();
            pages[1].push_back({"api.example.net", "token", "/v1", random_.LowerHex(24), 1,
                                now + 7200.0, now - 600.0});
        }
        return writer_.File(Path("/Library/Cookies/Cookies.binarycookies"), BinaryCookies(pages));
    }

    bool Temporary() {
        const int files = static_cast<int>(random_.Between(1, 4));
        for (int i = 0; i < files; ++i) {
            const std::string name = random_.Chance(50) ? RandomUuid(random_) + ".tmp"
                                                        : "upload-" + random_.LowerHex(8) + ".jpg";
            if (!writer_.File(Path("/tmp/" + name),
                              RandomBytes(random_, random_.Between(100, 8000))))
                return false;
        }
        const int library = static_cast<int>(random_.Between(1, 2));
        for (int i = 0; i < library; ++i) {
            const std::string path = "/Library/tmp/" + random_.LowerHex(10) + ".part";
            if (!writer_.File(Path(path), RandomBytes(random_, random_.Between(100, 4000))))
                return false;
        }
        if (spec_.junk != SandboxJunk::CapitalTmp) return true;
        return writer_.File(Path("/Library/Tmp/download.partial"),
                            RandomBytes(random_, random_.Between(1000, 9000))) &&
               writer_.File(Path("/Library/Tmp/session/state.tmp"),
                            RandomBytes(random_, random_.Between(50, 500)));
    }

    ImageWriter& writer_;
    const SandboxSpec& spec_;
    SeededRandom random_;
};

}  // namespace

std::string RandomUuid(SeededRandom& random) {
    std::string hex = random.FromAlphabet("0123456789ABCDEF", 32);
    hex[12] = '4';
    hex[16] = "89AB"[random.Below(4)];
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

std::string BinaryCookies(const std::vector<std::vector<CookieSpec>>& pages) {
    std::vector<std::string> bodies;
    for (const std::vector<CookieSpec>& page : pages)
        bodies.push_back(CookiePage(page));
    std::string file = "cook";
    PutBig32(file, static_cast<uint32_t>(bodies.size()));
    for (const std::string& body : bodies)
        PutBig32(file, static_cast<uint32_t>(body.size()));
    // The checksum adds every fourth byte of each page.
    uint32_t checksum = 0;
    for (const std::string& body : bodies) {
        file += body;
        for (size_t i = 0; i < body.size(); i += 4)
            checksum += static_cast<unsigned char>(body[i]);
    }
    PutBig32(file, checksum);
    file += std::string("\x07\x17\x20\x05\x00\x00\x00\x4b", 8);
    return file;
}

bool AddSandbox(ImageWriter& writer, const SandboxSpec& spec) {
    return SandboxWriter(writer, spec).Write();
}

bool AddScaledSandboxJunk(ImageWriter& writer, const std::vector<SandboxSpec>& containers, int step,
                          int count) {
    if (containers.empty()) return true;
    // Folders of one hundred steps hold about 450 files each with eleven containers.
    const std::string bucket = std::to_string(step / 100);
    for (int i = 0; i < count; ++i) {
        const SandboxSpec& spec =
            containers[static_cast<size_t>(step * count + i) % containers.size()];
        SeededRandom random(spec.seed, "scaled-" + spec.bundleId + "-" + std::to_string(step) +
                                           "-" + std::to_string(i));
        std::string path;
        switch (i % 10) {
            case 6:
            case 7:
                path = "/tmp/scaled-" + bucket + "/" + random.LowerHex(16) + ".tmp";
                break;
            case 8:
            case 9:
                path = "/Library/tmp/scaled-" + bucket + "/" + random.LowerHex(16) + ".part";
                break;
            default:
                path = "/Library/Caches/" + spec.bundleId + "/fsCachedData/scaled-" + bucket + "/" +
                       random.LowerHex(16);
        }
        const size_t size = static_cast<size_t>(random.Between(64, 512));
        if (!writer.File(spec.container + path, random.LowerHex(size))) return false;
    }
    return true;
}

}  // namespace bw::sim
