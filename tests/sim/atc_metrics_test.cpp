// The device's AssetMetrics against sums this test works out by walking the image folder under
// the rules sim/README.md documents, and the media files the image builder adds.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "sim/atc_support.h"

namespace bw::sim::atctest {
namespace {

namespace fs = std::filesystem;

struct Sum {
    int64_t count = 0;
    int64_t bytes = 0;
    bool operator==(const Sum&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Sum& sum) {
    return out << sum.count << " files, " << sum.bytes << " bytes";
}

using Sums = std::map<std::string, Sum>;  // "Photo", "Media/Song", ...

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

uint32_t BigEndian(const std::string& bytes, size_t at) {
    return (uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
           static_cast<unsigned char>(bytes[at + 3]);
}

// The media kind value of an MPEG-4 file, found by walking its boxes
// (moov/udta/meta/ilst/stik/data); 0 when it has none.
int StikOf(const std::string& bytes, size_t begin, size_t end, int depth = 0) {
    size_t at = begin;
    while (depth < 8 && at + 8 <= end) {
        const uint32_t size = BigEndian(bytes, at);
        if (size < 8 || at + size > end) return 0;
        const std::string type = bytes.substr(at + 4, 4);
        if (type == "stik" && size >= 8 + 17 && bytes.compare(at + 12, 4, "data") == 0)
            return static_cast<unsigned char>(bytes[at + 8 + 16]);
        // "meta" is a full box: four bytes of version and flags before its children.
        const size_t children = at + 8 + (type == "meta" ? 4 : 0);
        if (type == "moov" || type == "udta" || type == "meta" || type == "ilst" || type == "stik")
            if (const int kind = StikOf(bytes, children, at + size, depth + 1)) return kind;
        at += size;
    }
    return 0;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string KindOf(const fs::path& file, const std::string& extension) {
    if (extension == "mp3" || extension == "aac" || extension == "wav" || extension == "aif" ||
        extension == "aiff")
        return "Song";
    if (extension != "m4a" && extension != "m4b" && extension != "m4p" && extension != "m4v" &&
        extension != "mp4" && extension != "mov")
        return "";
    const std::string bytes = ReadFile(file);
    static const std::map<int, std::string> kinds = {{1, "Song"},       {2, "Audiobook"},
                                                     {6, "MusicVideo"}, {9, "Movie"},
                                                     {10, "TVEpisode"}, {21, "Podcast"}};
    if (const auto kind = kinds.find(StikOf(bytes, 0, bytes.size())); kind != kinds.end())
        return kind->second;
    if (extension == "m4a" || extension == "m4p") return "Song";
    return extension == "m4b" ? "Audiobook" : "Movie";
}

// The documented rules, from the image folder.
Sums Expected(const fs::path& fsRoot) {
    Sums sums;
    for (const char* category : {"Photo", "Application", "Book", "Ringtone", "VoiceMemo"})
        sums[category];
    const auto regularFiles = [](const fs::path& root, auto visit) {
        if (!fs::exists(root)) return;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
            if (entry.is_regular_file() && !entry.is_symlink())
                visit(entry.path(), static_cast<int64_t>(entry.file_size()));
    };
    const fs::path media = fsRoot / "var/mobile/Media";
    regularFiles(media, [&](const fs::path& file, int64_t size) {
        const std::string relative = file.lexically_relative(media).generic_string();
        const std::string extension =
            Lower(file.extension().string().substr(file.extension().empty() ? 0 : 1));
        const auto below = [&](const char* folder) { return relative.starts_with(folder); };
        std::string category = "UserData";
        if (below("iTunes_Control/Music/")) {
            if (const std::string kind = KindOf(file, extension); !kind.empty())
                category = "Media/" + kind;
        } else if (below("DCIM/") &&
                   (extension == "jpg" || extension == "jpeg" || extension == "png" ||
                    extension == "heic" || extension == "mov")) {
            category = "Photo";
        } else if (below("Books/") &&
                   (extension == "epub" || extension == "pdf" || extension == "ibooks")) {
            category = "Book";
        } else if (below("iTunes_Control/Ringtones/") && extension == "m4r") {
            category = "Ringtone";
        } else if (below("Recordings/") && extension == "m4a") {
            category = "VoiceMemo";
        }
        ++sums[category].count;
        sums[category].bytes += size;
    });
    regularFiles(fsRoot / "var/mobile/Library", [&](const fs::path&, int64_t size) {
        ++sums["UserData"].count;
        sums["UserData"].bytes += size;
    });
    const fs::path applications = fsRoot / "var/mobile/Applications";
    for (const fs::directory_entry& container : fs::directory_iterator(applications)) {
        if (!container.is_directory() || container.is_symlink()) continue;
        bool bundle = false;
        for (const fs::directory_entry& inner : fs::directory_iterator(container.path()))
            bundle |=
                inner.path().extension() == ".app" && inner.is_directory() && !inner.is_symlink();
        if (!bundle) continue;
        ++sums["Application"].count;
        regularFiles(container.path(),
                     [&](const fs::path&, int64_t size) { sums["Application"].bytes += size; });
    }
    return sums;
}

Sum SumOf(CFTypeRef entry) {
    return {Integer(Get(entry, "_Count")).value_or(-1),
            Integer(Get(entry, "_PhysicalSize")).value_or(-1)};
}

// The Params of an AssetMetrics message in the same shape.
Sums Reported(CFDictionaryRef message) {
    Sums sums;
    const CFTypeRef params = Get(message, "Params");
    for (const char* category :
         {"Photo", "Application", "Book", "Ringtone", "VoiceMemo", "UserData"})
        sums[category] = SumOf(Get(params, category));
    const CFTypeRef media = Get(params, "Media");
    const CFIndex count =
        media != nullptr ? CFDictionaryGetCount(static_cast<CFDictionaryRef>(media)) : 0;
    std::vector<const void*> keys(static_cast<size_t>(count));
    std::vector<const void*> values(static_cast<size_t>(count));
    if (count > 0)
        CFDictionaryGetKeysAndValues(static_cast<CFDictionaryRef>(media), keys.data(),
                                     values.data());
    for (CFIndex i = 0; i < count; ++i)
        sums["Media/" + TakeText(CFRetain(keys[static_cast<size_t>(i)]))] =
            SumOf(values[static_cast<size_t>(i)]);
    return sums;
}

class AtcMetricsTest : public AtcTest {
  protected:
    Sums ReadMetrics() {
        ATHostConnectionRef connection = Open();
        EXPECT_NE(connection, nullptr);
        if (connection == nullptr) return {};
        EXPECT_EQ(SendHostInfo(connection), 0);
        Sums sums;
        for (int i = 0; i < 3; ++i) {
            const CFDictionaryRef message = ReadNext(connection);
            if (message == nullptr) break;
            const CFStringRef name = Ath().ATCFMessageGetName(message);
            if (name != nullptr && TakeText(CFRetain(name)) == "AssetMetrics")
                sums = Reported(message);
            CFRelease(message);
        }
        Ath().ATHostConnectionInvalidate(connection);
        Ath().ATHostConnectionRelease(connection);
        return sums;
    }

    fs::path Fs() const { return fs::path(image_) / "fs"; }
};

TEST_F(AtcMetricsTest, MetricsEqualTheSumsOfTheImageFilesOnEveryHostInfo) {
    const Sums expected = Expected(Fs());
    EXPECT_EQ(ReadMetrics(), expected);
    // The image has something in every category, so no rule is tested on nothing.
    for (const char* category :
         {"Media/Song", "Media/Podcast", "Media/MusicVideo", "Media/Movie", "Media/TVEpisode",
          "Photo", "Application", "Book", "Ringtone", "VoiceMemo", "UserData"}) {
        ASSERT_TRUE(expected.count(category)) << category;
        EXPECT_GT(expected.at(category).count, 0) << category;
    }
    EXPECT_EQ(expected.at("Media/Song").count, 3);

    // A book, a link to it that must not count, a photo of a kind that is no photo, and a new
    // media file whose kind item makes it a movie whatever its extension.
    const fs::path books = Fs() / "var/mobile/Media/Books";
    std::ofstream(books / "Added.epub", std::ios::binary) << std::string(1000, 'b');
    fs::create_symlink("Added.epub", books / "Linked.epub");
    std::ofstream(Fs() / "var/mobile/Media/DCIM/100APPLE/notes.txt") << "not a photo";
    const std::string stik = std::string(
        "\0\0\0\x19stik\0\0\0\x11"
        "data\0\0\0\x15\0\0\0\0\x09",
        25);
    const std::string ilst = std::string("\0\0\0\x21ilst", 8) + stik;
    const std::string meta = std::string("\0\0\0\x2dmeta\0\0\0\0", 12) + ilst;
    const std::string udta = std::string("\0\0\0\x35udta", 8) + meta;
    const std::string moov = std::string("\0\0\0\x3dmoov", 8) + udta;
    const fs::path music = Fs() / "var/mobile/Media/iTunes_Control/Music/F07";
    fs::create_directories(music);
    std::ofstream(music / "QQQQ.m4a", std::ios::binary) << std::string(
                                                               "\0\0\0\x10"
                                                               "ftypM4A \0\0\0\0",
                                                               16) +
                                                               moov;

    const Sums before = Expected(Fs());
    const Sums reported = ReadMetrics();
    EXPECT_EQ(reported, before);
    ASSERT_TRUE(reported.count("Media/Movie"));

    fs::remove(books / "Added.epub");
    fs::remove(music / "QQQQ.m4a");
    const Sums after = ReadMetrics();
    EXPECT_EQ(after, Expected(Fs()));
    EXPECT_EQ(after.at("Book").count, before.at("Book").count - 1);
    EXPECT_EQ(after.at("Book").bytes, before.at("Book").bytes - 1000);
    EXPECT_EQ(after.at("Media/Movie").count, before.at("Media/Movie").count - 1);
}

TEST_F(AtcMetricsTest, TheImageHoldsMediaFilesNamedAndHeadedAsITunesWritesThem) {
    // "iTunes_Control/Music/Fnn/XXXX.ext", as iTunes names synced files.
    const auto musicName = [](const std::string& path) {
        const std::string prefix = "iTunes_Control/Music/F";
        if (path.size() != prefix.size() + 2 + 1 + 4 + 4 || !path.starts_with(prefix)) return false;
        const std::string rest = path.substr(prefix.size());
        const std::string extension = rest.substr(7);
        return std::isdigit(static_cast<unsigned char>(rest[0])) &&
               std::isdigit(static_cast<unsigned char>(rest[1])) && rest[2] == '/' &&
               std::all_of(rest.begin() + 3, rest.begin() + 7,
                           [](char c) { return c >= 'A' && c <= 'Z'; }) &&
               (extension == ".mp3" || extension == ".m4a" || extension == ".m4v");
    };
    const fs::path media = Fs() / "var/mobile/Media";
    int music = 0;
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(media / "iTunes_Control/Music")) {
        if (!entry.is_regular_file()) continue;
        const std::string relative = entry.path().lexically_relative(media).generic_string();
        EXPECT_TRUE(musicName(relative)) << relative;
        const std::string bytes = ReadFile(entry.path());
        EXPECT_GE(bytes.size(), 1024u) << relative;
        EXPECT_LE(bytes.size(), 16384u) << relative;
        if (entry.path().extension() == ".mp3") {
            EXPECT_EQ(bytes.substr(0, 3), "ID3") << relative;
        } else {
            EXPECT_EQ(bytes.substr(4, 4), "ftyp") << relative;
        }
        ++music;
    }
    EXPECT_EQ(music, 7);
    for (const fs::directory_entry& entry : fs::directory_iterator(media / "Books")) {
        const std::string bytes = ReadFile(entry.path());
        if (entry.path().extension() == ".epub") {
            EXPECT_EQ(bytes.substr(0, 58), std::string("PK\x03\x04", 4) + bytes.substr(4, 26) +
                                               "mimetypeapplication/epub+zip");
        }
        if (entry.path().extension() == ".pdf") {
            EXPECT_EQ(bytes.substr(0, 5), "%PDF-");
        }
    }
    // The same seed gives the same files.
    const fs::path other = fs::path(MakeImage()) / "fs/var/mobile/Media";
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(media)) {
        if (entry.is_regular_file() && !entry.path().string().ends_with(".JPG")) {
            EXPECT_EQ(ReadFile(entry.path()),
                      ReadFile(other / entry.path().lexically_relative(media)));
        }
    }
}

}  // namespace
}  // namespace bw::sim::atctest
