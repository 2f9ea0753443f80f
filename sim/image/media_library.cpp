#include "media_library.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>

#include "seeded_random.h"

namespace bw::sim {

std::string BigEndian32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string Mp4Box(const char* type, const std::string& payload) {
    return BigEndian32(static_cast<uint32_t>(8 + payload.size())) + std::string(type, 4) + payload;
}

namespace {

// The media kind values iTunes writes into an MPEG-4 file's "stik" item.
enum MediaKindItem : unsigned char {
    kSong = 1,
    kMusicVideo = 6,
    kMovie = 9,
    kTvEpisode = 10,
    kPodcast = 21,
};

struct Track {
    const char* extension;
    unsigned char kind;  // 0: an MP3 file, which carries no kind item
    const char* title;
};

constexpr Track kTracks[] = {
    {"mp3", 0, "Harbour Lights"},
    {"mp3", 0, "Low Tide"},
    {"m4a", kSong, "Saltmarsh"},
    {"m4a", kPodcast, "Estuary Weekly 112"},
    {"m4v", kMusicVideo, "Low Tide (Live)"},
    {"m4v", kMovie, "The Long Reach"},
    {"m4v", kTvEpisode, "Dredgers S02E04"},
};

constexpr const char* kBooks[] = {"Tidal Streams.epub", "Pilotage Notes.pdf"};

// An iTunes metadata item: the item box holding one "data" box of a well-known type.
std::string Item(const char* type, uint32_t dataType, const std::string& value) {
    return Mp4Box(type, Mp4Box("data", BigEndian32(dataType) + BigEndian32(0) + value));
}

std::string Filler(SeededRandom& random, size_t length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random.Below(256));
    return bytes;
}

// An MPEG-4 file as iTunes writes it: ftyp, moov with a movie header and the metadata list
// (title, and the media kind when given), then the media data.
std::string Mpeg4(SeededRandom& random, const char* brand, const std::string& title,
                  unsigned char kind, size_t length) {
    const std::string ftyp =
        Mp4Box("ftyp", std::string(brand, 4) + BigEndian32(0) + std::string(brand, 4) + "mp42isom");
    std::string movieHeader = BigEndian32(0) + BigEndian32(0) + BigEndian32(0) + BigEndian32(600) +
                              BigEndian32(static_cast<uint32_t>(random.Between(600, 600 * 240))) +
                              BigEndian32(0x00010000) + std::string("\x01\x00", 2) +
                              std::string(10, '\0');
    const uint32_t matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    for (const uint32_t value : matrix)
        movieHeader += BigEndian32(value);
    movieHeader += std::string(24, '\0') + BigEndian32(2);
    std::string items = Item("\xa9nam", 1, title);
    if (kind != 0) items += Item("stik", 21, std::string(1, static_cast<char>(kind)));
    const std::string handler =
        Mp4Box("hdlr", BigEndian32(0) + BigEndian32(0) + "mdir" + "appl" + std::string(9, '\0'));
    const std::string meta = Mp4Box("meta", BigEndian32(0) + handler + Mp4Box("ilst", items));
    const std::string moov = Mp4Box("moov", Mp4Box("mvhd", movieHeader) + Mp4Box("udta", meta));
    const std::string head = ftyp + moov;
    const size_t data = length > head.size() + 8 ? length - head.size() - 8 : 0;
    return head + Mp4Box("mdat", Filler(random, data));
}

// An MP3 file: an ID3v2.4 tag with the title, then MPEG-1 layer III frames (128 kbit/s,
// 44.1 kHz: 417 bytes each).
std::string Mp3(SeededRandom& random, const std::string& title, size_t length) {
    const auto synchsafe = [](uint32_t value) {
        return std::string{static_cast<char>((value >> 21) & 0x7f),
                           static_cast<char>((value >> 14) & 0x7f),
                           static_cast<char>((value >> 7) & 0x7f), static_cast<char>(value & 0x7f)};
    };
    const std::string text = "\x03" + title;  // UTF-8
    const std::string frame =
        "TIT2" + synchsafe(static_cast<uint32_t>(text.size())) + std::string(2, '\0') + text;
    std::string bytes = "ID3" + std::string("\x04\x00\x00", 3) +
                        synchsafe(static_cast<uint32_t>(frame.size())) + frame;
    while (bytes.size() < length)
        bytes += std::string("\xff\xfb\x90\x64", 4) + Filler(random, 413);
    return bytes;
}

uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string LittleEndian(uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * i));
    return out;
}

// An EPUB starts with its stored "mimetype" entry, which readers check first.
std::string Epub(SeededRandom& random, size_t length) {
    const std::string mimetype = "application/epub+zip";
    const auto size = static_cast<uint32_t>(mimetype.size());
    std::string bytes = "PK\x03\x04" + LittleEndian(20, 2) + LittleEndian(0, 2) +
                        LittleEndian(0, 2) + LittleEndian(0, 4) + LittleEndian(Crc32(mimetype), 4) +
                        LittleEndian(size, 4) + LittleEndian(size, 4) + LittleEndian(8, 2) +
                        LittleEndian(0, 2) + "mimetype" + mimetype;
    return bytes + Filler(random, length > bytes.size() ? length - bytes.size() : 0);
}

std::string Pdf(SeededRandom& random, size_t length) {
    const std::string head = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    const std::string tail = "\n%%EOF\n";
    const size_t middle =
        length > head.size() + tail.size() ? length - head.size() - tail.size() : 0;
    return head + Filler(random, middle) + tail;
}

// A four-letter name as iTunes gives synced files, unique on the image.
std::string FourLetters(SeededRandom& random, std::set<std::string>& taken) {
    for (;;) {
        std::string name = random.FromAlphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZ", 4);
        if (taken.insert(name).second) return name;
    }
}

size_t SmallSize(SeededRandom& random) {
    return static_cast<size_t>(random.Between(2048, 6144));
}

}  // namespace

bool AddMediaLibrary(ImageWriter& writer, const ImageOptions& options) {
    SeededRandom random(options.seed, "media-library");
    std::set<std::string> taken;
    for (const Track& track : kTracks) {
        char folder[8];
        std::snprintf(folder, sizeof folder, "F%02d", static_cast<int>(random.Below(50)));
        const std::string path = std::string("/var/mobile/Media/iTunes_Control/Music/") + folder +
                                 "/" + FourLetters(random, taken) + "." + track.extension;
        const size_t length = SmallSize(random);
        const std::string bytes = track.kind == 0
                                      ? Mp3(random, track.title, length)
                                      : Mpeg4(random, track.extension[2] == 'v' ? "M4V " : "M4A ",
                                              track.title, track.kind, length);
        if (!writer.File(path, bytes)) return false;
    }
    for (const char* book : kBooks) {
        const std::string name = book;
        const size_t length = SmallSize(random);
        const std::string bytes =
            name.ends_with(".epub") ? Epub(random, length) : Pdf(random, length);
        if (!writer.File("/var/mobile/Media/Books/" + name, bytes)) return false;
    }
    for (int ringtone = 0; ringtone < 2; ++ringtone) {
        const std::string path =
            "/var/mobile/Media/iTunes_Control/Ringtones/" + FourLetters(random, taken) + ".m4r";
        if (!writer.File(path, Mpeg4(random, "M4A ", "Ringtone", 0, SmallSize(random))))
            return false;
    }
    // Voice memos are named by the time they were recorded.
    int64_t recorded = writer.identity().now - 40 * 86400;
    for (int memo = 0; memo < 2; ++memo) {
        recorded += random.Between(86400, 10 * 86400);
        const std::time_t seconds = static_cast<std::time_t>(recorded);
        std::tm parts{};
        gmtime_r(&seconds, &parts);
        char name[64];
        std::strftime(name, sizeof name, "/var/mobile/Media/Recordings/%Y%m%d %H%M%S.m4a", &parts);
        if (!writer.File(name, Mpeg4(random, "M4A ", "Memo", 0, SmallSize(random)), recorded))
            return false;
    }
    return true;
}

}  // namespace bw::sim
