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

#include "output_file.h"
#include "photo_library_view.h"

namespace cli {

namespace {

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
    "       brackwater [--sim[=IMAGE]] photos pull DIR [ALBUM|--all]\n"
    "       brackwater [--sim[=IMAGE]] photos add FILE... [--album NAME]\n"
    "       brackwater [--sim[=IMAGE]] photos rm PHOTO...\n"
    "       brackwater [--sim[=IMAGE]] photos delete PHOTO... [--yes]";

}  // namespace

int RunPhotos(Arguments& args) {
    std::vector<std::string>& words = args.words;
    const bool all = TakeFlag(words, "--all");
    const bool yes = TakeFlag(words, "--yes");
    std::string albumName;
    bool albumMissing = false;
    const bool albumGiven = TakeOption(words, "--album", albumName, albumMissing);
    if (albumMissing) return UsageError("--album needs a NAME", kUsage);
    if (const std::string unknown = UnknownOption(words); !unknown.empty()) {
        return UsageError(std::string("unknown option ") + unknown, kUsage);
    }
    if (words.empty()) {
        return UsageError("photos needs albums, list, thumbs, pull, add, rm or delete", kUsage);
    }
    const std::string action = words[0];
    words.erase(words.begin());
    for (const std::string& word : words) {
        if (const std::string problem = NotUtf8Message("argument", word); !problem.empty())
            return Fail(problem);
    }
    if (albumGiven && action != "add") return UsageError("--album goes with photos add", kUsage);
    if (yes && action != "delete") return UsageError("--yes goes with photos delete", kUsage);
    if (action == "add" || action == "rm" || action == "delete") {
        if (words.empty()) {
            return UsageError(std::string("photos ") + action + " needs at least one " +
                                  (action == "add" ? "FILE" : "PHOTO"),
                              kUsage);
        }
        if (albumGiven && (albumName.empty() || albumName.size() > 255)) {
            return UsageError("--album needs a NAME of 1 to 255 bytes", kUsage);
        }
        return RunPhotoChange(action, args, albumName, yes);
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
