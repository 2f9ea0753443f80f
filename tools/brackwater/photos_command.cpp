// brackwater photos albums|list|thumbs|pull: the device's photo library by album, its
// thumbnails, and copies of its photos on the computer.
#include <vips/vips8>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "brackwater/photo.h"
#include "cli.h"
#include "device_session.h"
#include "output_file.h"
#include "text.h"

namespace cli {

namespace {

struct ManagerDeleter {
    void operator()(IPhotoManager* manager) const { DeletePhotoManager(manager); }
};
using PhotoManager = std::unique_ptr<IPhotoManager, ManagerDeleter>;

std::string PhotoText(IPhoto* photo, int32_t field) {
    return TwoCallText([&](BwChar* buffer) { return BrackwaterPhotoText(photo, field, buffer); });
}

std::string AlbumText(IPhotoAlbum* album, int32_t field) {
    return TwoCallText(
        [&](BwChar* buffer) { return BrackwaterPhotoAlbumText(album, field, buffer); });
}

// The photo library stores times as seconds from 2001-01-01 UTC.
constexpr int64_t kLibraryEpoch = 978307200;

std::string LibraryTime(double seconds) {
    if (!(seconds > -1e11 && seconds < 1e11)) return "?";
    const auto unixTime = static_cast<time_t>(static_cast<int64_t>(seconds) + kLibraryEpoch);
    std::tm parts{};
    if (gmtime_r(&unixTime, &parts) == nullptr) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

const char* AlbumTypeName(int32_t type) {
    switch (type) {
        case 0:
            return "camera roll";
        case 1:
            return "library";
        case 2:
            return "photo stream";
        case 5:
            return "videos";
        default:
            return "album";
    }
}

// Album titles as a person reads them: the made-up albums get the names a phone shows.
std::string ShownTitle(IPhotoAlbum* album) {
    const std::string title = AlbumText(album, BW_ALBUM_TITLE);
    if (album->GetAlbumType() == 0 && title == "CameraRoll") return "Camera Roll";
    if (album->GetAlbumType() == 1) return "Photo Library";
    if (album->GetAlbumType() == 5) return "Videos";
    return title;
}

// `text` followed by spaces up to `width` characters on a terminal: UTF-8 continuation bytes
// take no column.
std::string Padded(const std::string& text, size_t width) {
    const size_t columns = static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    return columns >= width ? text : text + std::string(width - columns, ' ');
}

// One photo as the list and the copies see it.
struct PhotoRow {
    IPhoto* photo = nullptr;
    int index = 0;  // in the manager's photo list, or in the album
    std::string name;
    std::string album;
};

// A file name from the device that can stand in a host folder: a plain name of at most 255
// bytes, not "." or "..". Anything else is shown but never used as a host name.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

class PhotoCommand {
  public:
    bool Open(const Arguments& args, std::string& error) {
        device_ = session_.Open(args, error);
        if (device_ == nullptr) return false;
        return Attach(device_, error);
    }

    bool Attach(CIPhone* device, std::string& error) {
        manager_.reset(NewPhotoManager(device));
        if (manager_ == nullptr) {
            error = "cannot read the device's photo library";
            return false;
        }
        const int32_t albums = manager_->LoadAlbums();
        for (int32_t i = 0; i < albums; ++i) {
            if (IPhotoAlbum* album = manager_->GetAlbum(i); album != nullptr)
                albums_.push_back(album);
        }
        return true;
    }

    const std::vector<IPhotoAlbum*>& albums() const { return albums_; }
    IPhotoManager* manager() const { return manager_.get(); }

    // The album a word names: its number in `photos albums`, or its title (as shown or as
    // stored). Null with the reason in `error`.
    IPhotoAlbum* FindAlbum(const std::string& word, std::string& error) const {
        const bool number =
            !word.empty() && word.size() < 6 &&
            std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (number) {
            const size_t index = std::strtoul(word.c_str(), nullptr, 10);
            if (index < albums_.size()) return albums_[index];
        }
        for (IPhotoAlbum* album : albums_) {
            if (ShownTitle(album) == word || AlbumText(album, BW_ALBUM_TITLE) == word) return album;
        }
        error = std::string("no album ") + Printable(word) + "; see brackwater photos albums";
        return nullptr;
    }

    // The whole library: the manager's photo list, each with the first album that holds it.
    std::vector<PhotoRow> LibraryRows() {
        std::map<IPhoto*, std::string> albumOf;
        for (IPhotoAlbum* album : albums_) {
            BwPhotoList photos;
            album->CopyPhotosTo(&photos);
            for (IPhoto* photo : photos)
                albumOf.emplace(photo, ShownTitle(album));
        }
        std::vector<PhotoRow> rows;
        const int32_t count = manager_->LoadPhotos();
        for (int32_t i = 0; i < count; ++i) {
            IPhoto* photo = manager_->GetPhoto(i);
            if (photo == nullptr) continue;
            const auto found = albumOf.find(photo);
            rows.push_back({photo, i, PhotoText(photo, BW_PHOTO_FILE_NAME),
                            found == albumOf.end() ? std::string() : found->second});
        }
        return rows;
    }

    // Every photo and video of one album, in the album's order.
    static std::vector<PhotoRow> AlbumRows(IPhotoAlbum* album) {
        BwPhotoList photos;
        album->CopyPhotosTo(&photos);
        std::vector<PhotoRow> rows;
        int index = 0;
        for (IPhoto* photo : photos) {
            if (photo == nullptr) continue;
            rows.push_back(
                {photo, index++, PhotoText(photo, BW_PHOTO_FILE_NAME), ShownTitle(album)});
        }
        return rows;
    }

    // Every photo and video of the library once (by asset key), for pull --all.
    std::vector<PhotoRow> EveryPhoto() {
        std::vector<PhotoRow> rows;
        std::set<int32_t> seen;
        for (IPhotoAlbum* album : albums_) {
            for (PhotoRow& row : AlbumRows(album)) {
                if (seen.insert(row.photo->GetAssetKey()).second) rows.push_back(std::move(row));
            }
        }
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i].index = static_cast<int>(i);
        return rows;
    }

  private:
    DeviceSession session_;
    CIPhone* device_ = nullptr;
    PhotoManager manager_;
    std::vector<IPhotoAlbum*> albums_;
};

// "[#####.....] 12/40 name" on standard error, when that is a terminal.
class Progress {
  public:
    explicit Progress(size_t total) : total_(total), draw_(::isatty(STDERR_FILENO) == 1) {}
    ~Progress() {
        if (draw_ && drawn_) std::fprintf(stderr, "\r\033[K");
    }
    void Step(size_t done, const std::string& name) {
        if (!draw_) return;
        const size_t filled = total_ == 0 ? 20 : done * 20 / total_;
        std::string text = Printable(name);
        if (text.size() > 40) text.resize(40);
        std::fprintf(stderr, "\r\033[K[%-20s] %zu/%zu %s", std::string(filled, '#').c_str(), done,
                     total_, text.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

  private:
    size_t total_;
    bool draw_;
    bool drawn_ = false;
};

// Makes `folder` when it is missing (one level); false with the reason when it is not a folder.
bool PrepareFolder(const std::string& folder, std::string& error) {
    if (::mkdir(folder.c_str(), 0755) == 0) return true;
    struct stat info {};
    if (errno == EEXIST && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    error = Printable(folder) + ": " + (errno == EEXIST ? "not a folder" : std::strerror(errno));
    return false;
}

// "IMG_0001.JPG" -> "IMG_0001", ".JPG".
void SplitName(const std::string& name, std::string& stem, std::string& extension) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        stem = name;
        extension.clear();
    } else {
        stem = name.substr(0, dot);
        extension = name.substr(dot);
    }
}

// Gives the file `staged` (in `folder`) its final name: `name`, or "stem-2.ext", "stem-3.ext"...
// when that is taken. A hard link never replaces an existing name, so no file of the folder is
// lost, and the final name appears only with the whole file. The final name, or empty.
std::string PlaceUnder(const std::string& folder, const std::string& staged,
                       const std::string& name) {
    std::string stem, extension;
    SplitName(name, stem, extension);
    for (int attempt = 1; attempt < 10000; ++attempt) {
        const std::string candidate =
            attempt == 1 ? name : stem + "-" + std::to_string(attempt) + extension;
        const std::string target = folder + "/" + candidate;
        if (::link(staged.c_str(), target.c_str()) == 0) {
            ::unlink(staged.c_str());
            return candidate;
        }
        if (errno != EEXIST) break;
    }
    ::unlink(staged.c_str());
    return {};
}

// Writes `bytes` as a new file of `folder` named after `name` (see PlaceUnder).
std::string WriteNew(const std::string& folder, const std::string& name, const std::string& bytes) {
    std::string staged = folder + "/.brackwater-XXXXXX";
    const int fd = ::mkstemp(staged.data());
    if (fd < 0) return {};
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const bool complete = written == bytes.size() && ::fchmod(fd, 0644) == 0;
    if (::close(fd) != 0 || !complete) {
        ::unlink(staged.c_str());
        return {};
    }
    return PlaceUnder(folder, staged, name);
}

void PrintPhotoRow(const PhotoRow& row, bool json) {
    IPhoto* photo = row.photo;
    const bool video = BrackwaterPhotoNumber(photo, BW_PHOTO_IS_VIDEO) == 1;
    if (json) {
        std::printf(
            "{\"index\":%d,\"name\":%s,\"album\":%s,\"size\":%lld,\"created\":%s,\"width\":%d,"
            "\"height\":%d,\"video\":%s,\"key\":%d,\"path\":%s}\n",
            row.index, JsonString(row.name).c_str(), JsonString(row.album).c_str(),
            static_cast<long long>(photo->GetFileSize()),
            JsonString(LibraryTime(photo->GetCreationTime())).c_str(), photo->GetWidth(),
            photo->GetHeight(), video ? "true" : "false", photo->GetAssetKey(),
            JsonString([&] {
                std::string path(photo->GetDevicePath(nullptr), '\0');
                if (!path.empty()) photo->GetDevicePath(path.data());
                path.resize(std::strlen(path.c_str()));
                return path;
            }())
                .c_str());
        return;
    }
    std::printf("%5d  %s %10lld  %s  %5dx%-5d %s%s\n", row.index,
                Padded(Printable(row.name), 20).c_str(),
                static_cast<long long>(photo->GetFileSize()),
                LibraryTime(photo->GetCreationTime()).c_str(), photo->GetWidth(),
                photo->GetHeight(), Printable(row.album).c_str(), video ? "  (video)" : "");
}

int ListAlbums(PhotoCommand& command, bool json) {
    const std::vector<IPhotoAlbum*>& albums = command.albums();
    if (albums.empty() && !json) std::printf("no photo library on this device\n");
    for (size_t i = 0; i < albums.size(); ++i) {
        IPhotoAlbum* album = albums[i];
        const std::string title = ShownTitle(album);
        if (json) {
            std::printf(
                "{\"index\":%zu,\"title\":%s,\"type\":%s,\"key\":%d,\"kind\":%d,\"photos\":%d,"
                "\"videos\":%d,\"uuid\":%s}\n",
                i, JsonString(title).c_str(),
                JsonString(AlbumTypeName(album->GetAlbumType())).c_str(), album->GetAlbumKey(),
                album->GetKind(), album->CountStills(), album->CountVideos(),
                JsonString(AlbumText(album, BW_ALBUM_UUID)).c_str());
        } else {
            std::printf("%3zu  %s %-13s %6d photos %5d videos\n", i,
                        Padded(Printable(title), 28).c_str(), AlbumTypeName(album->GetAlbumType()),
                        album->CountStills(), album->CountVideos());
        }
    }
    return 0;
}

// The thumbnail of each photo as "NAME.jpg" in `folder`; the number written.
size_t WriteThumbnails(const std::vector<PhotoRow>& rows, const std::string& folder,
                       std::vector<std::string>* files) {
    Progress progress(rows.size());
    size_t written = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const PhotoRow& row = rows[i];
        progress.Step(i, row.name);
        if (row.photo->LoadThumbnail() == 0) continue;
        std::string jpeg(row.photo->GetThumbnail(nullptr), '\0');
        if (jpeg.empty()) continue;
        jpeg.resize(row.photo->GetThumbnail(reinterpret_cast<unsigned char*>(jpeg.data())));
        std::string stem, extension;
        SplitName(IsPlainName(row.name) ? row.name : "photo", stem, extension);
        const std::string name = WriteNew(folder, stem + ".jpg", jpeg);
        if (name.empty()) continue;
        if (files != nullptr) files->push_back(folder + "/" + name);
        ++written;
    }
    progress.Step(rows.size(), "");
    return written;
}

// Copies each photo's file into `folder`; the number copied, with the bytes in `bytes`.
size_t CopyPhotos(const std::vector<PhotoRow>& rows, const std::string& folder, uint64_t& bytes,
                  std::vector<std::string>& failed, std::vector<std::string>* names = nullptr) {
    // The library copies into a private staging folder under the photo's own name; only a whole
    // file is then linked under its final name, so an interrupted copy leaves nothing there.
    std::string staging = folder + "/.brackwater-pull-XXXXXX";
    if (::mkdtemp(staging.data()) == nullptr) {
        for (const PhotoRow& row : rows)
            failed.push_back(row.name);
        return 0;
    }
    Progress progress(rows.size());
    size_t copied = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const PhotoRow& row = rows[i];
        progress.Step(i, row.name);
        if (!IsPlainName(row.name)) {
            failed.push_back(row.name);
            continue;
        }
        const std::string staged = staging + "/" + row.name;
        row.photo->ExportTo(staging.c_str());
        struct stat info {};
        if (::lstat(staged.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            ::unlink(staged.c_str());
            failed.push_back(row.name);
            continue;
        }
        const std::string name = PlaceUnder(folder, staged, row.name);
        if (name.empty()) {
            failed.push_back(row.name);
            continue;
        }
        if (names != nullptr) names->push_back(name);
        bytes += static_cast<uint64_t>(info.st_size);
        ++copied;
    }
    progress.Step(rows.size(), "");
    ::rmdir(staging.c_str());
    return copied;
}

constexpr const char* kUsage =
    "brackwater [--sim[=IMAGE]] photos albums [--json]\n"
    "       brackwater [--sim[=IMAGE]] photos list [ALBUM] [--json]\n"
    "       brackwater [--sim[=IMAGE]] photos thumbs DIR [ALBUM]\n"
    "       brackwater [--sim[=IMAGE]] photos pull DIR [ALBUM|--all]";

}  // namespace

int RunPhotos(Arguments& args) {
    std::vector<std::string>& words = args.words;
    const bool all = TakeFlag(words, "--all");
    if (const std::string unknown = UnknownOption(words); !unknown.empty()) {
        return UsageError(std::string("unknown option ") + unknown, kUsage);
    }
    if (words.empty()) return UsageError("photos needs albums, list, thumbs or pull", kUsage);
    const std::string action = words[0];
    words.erase(words.begin());
    for (const std::string& word : words) {
        if (const std::string problem = NotUtf8Message("argument", word); !problem.empty())
            return Fail(problem);
    }
    const bool takesFolder = action == "thumbs" || action == "pull";
    if (action != "albums" && action != "list" && !takesFolder) {
        return UsageError(std::string("unknown photos action ") + Printable(action), kUsage);
    }
    const size_t most = action == "albums" ? 0 : action == "list" ? 1 : 2;
    const size_t least = takesFolder ? 1 : 0;
    if (words.size() < least || words.size() > most) {
        return UsageError(std::string("wrong number of arguments for photos ") + action, kUsage);
    }
    if (all && (action != "pull" || words.size() > 1)) {
        return UsageError("--all goes with photos pull DIR, without an ALBUM", kUsage);
    }
    std::string folder;
    if (takesFolder) {
        folder = words[0];
        words.erase(words.begin());
        std::string error;
        if (!PrepareFolder(folder, error)) return Fail(error);
    }

    PhotoCommand command;
    std::string error;
    if (!command.Open(args, error)) return Fail(error);
    if (action == "albums") return ListAlbums(command, args.json);

    IPhotoAlbum* album = nullptr;
    if (!words.empty()) {
        album = command.FindAlbum(words[0], error);
        if (album == nullptr) return Fail(error);
    }
    std::vector<PhotoRow> rows = album != nullptr   ? PhotoCommand::AlbumRows(album)
                                 : action == "pull" ? command.EveryPhoto()
                                                    : command.LibraryRows();
    if (action == "list") {
        for (const PhotoRow& row : rows)
            PrintPhotoRow(row, args.json);
        if (!args.json) std::printf("%zu photos\n", rows.size());
        return 0;
    }
    if (action == "thumbs") {
        const size_t written = WriteThumbnails(rows, folder, nullptr);
        std::printf("%zu of %zu thumbnails written to %s\n", written, rows.size(),
                    Printable(folder).c_str());
        return written == rows.size() ? 0 : kExitFailure;
    }
    uint64_t bytes = 0;
    std::vector<std::string> failed;
    const size_t copied = CopyPhotos(rows, folder, bytes, failed);
    std::printf("%zu of %zu photos copied to %s (%llu bytes)\n", copied, rows.size(),
                Printable(folder).c_str(), static_cast<unsigned long long>(bytes));
    for (const std::string& name : failed)
        std::fprintf(stderr, "brackwater: could not copy %s\n", Printable(name).c_str());
    return failed.empty() ? 0 : kExitFailure;
}

int PhotoDemo(CIPhone* device, const std::string& folder) {
    PhotoCommand command;
    std::string error;
    if (!command.Attach(device, error)) return Fail(error);
    if (const int status = ListAlbums(command, false); status != 0) return status;

    // A contact sheet: the first thumbnails of the library side by side in one PNG.
    std::vector<PhotoRow> rows = command.LibraryRows();
    if (rows.size() > 24) rows.resize(24);
    const std::string thumbnails = folder + "/thumbnails";
    if (!PrepareFolder(thumbnails, error)) return Fail(error);
    std::vector<std::string> files;
    WriteThumbnails(rows, thumbnails, &files);
    if (files.empty()) return Fail("the demo iPhone gave no thumbnails");
    if (VIPS_INIT("brackwater") != 0) return Fail("cannot start the image library");
    try {
        std::vector<vips::VImage> tiles;
        for (const std::string& file : files)
            tiles.push_back(
                vips::VImage::new_from_file(file.c_str()).colourspace(VIPS_INTERPRETATION_sRGB));
        const vips::VImage sheet = vips::VImage::arrayjoin(
            tiles, vips::VImage::option()
                       ->set("across", 6)
                       ->set("shim", 4)
                       ->set("background", std::vector<double>{255, 255, 255}));
        void* png = nullptr;
        size_t size = 0;
        sheet.write_to_buffer(".png", &png, &size);
        const std::string bytes(static_cast<const char*>(png), size);
        g_free(png);
        if (!WriteOutputFile(folder + "/contact-sheet.png", bytes, error)) return Fail(error);
        std::printf("contact sheet of %zu thumbnails (%dx%d): %s/contact-sheet.png\n", files.size(),
                    sheet.width(), sheet.height(), folder.c_str());
    } catch (const vips::VError&) {
        return Fail("cannot draw the contact sheet");
    }

    uint64_t bytes = 0;
    std::vector<std::string> failed, names;
    rows.resize(1);
    if (CopyPhotos(rows, folder, bytes, failed, &names) != 1) {
        return Fail("cannot copy a photo from the demo iPhone");
    }
    std::printf("copied %s to the computer: %llu bytes\n", names[0].c_str(),
                static_cast<unsigned long long>(bytes));
    return 0;
}

}  // namespace cli
