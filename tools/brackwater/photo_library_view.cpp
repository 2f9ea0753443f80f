#include "photo_library_view.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include <sys/stat.h>

namespace cli {

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

std::string ShownTitle(IPhotoAlbum* album) {
    const std::string title = AlbumText(album, BW_ALBUM_TITLE);
    if (album->GetAlbumType() == 0 && title == "CameraRoll") return "Camera Roll";
    if (album->GetAlbumType() == 1) return "Photo Library";
    if (album->GetAlbumType() == 5) return "Videos";
    return title;
}

// UTF-8 continuation bytes take no column.
std::string Padded(const std::string& text, size_t width) {
    const size_t columns = static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
    return columns >= width ? text : text + std::string(width - columns, ' ');
}

// A file name from the device that can stand in a host folder: a plain name of at most 255
// bytes, not "." or "..". Anything else is shown but never used as a host name.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool PhotoCommand::Open(const Arguments& args, std::string& error) {
    device_ = session_.Open(args, error);
    if (device_ == nullptr) return false;
    return Attach(device_, error);
}

bool PhotoCommand::Attach(CIPhone* device, std::string& error) {
    manager_.reset(NewPhotoManager(device));
    if (manager_ == nullptr) {
        error = "cannot read the device's photo library";
        return false;
    }
    const int32_t albums = manager_->LoadAlbums();
    for (int32_t i = 0; i < albums; ++i) {
        if (IPhotoAlbum* album = manager_->GetAlbum(i); album != nullptr) albums_.push_back(album);
    }
    return true;
}

IPhotoAlbum* PhotoCommand::FindAlbum(const std::string& word, std::string& error) const {
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

std::vector<PhotoRow> PhotoCommand::LibraryRows() {
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

std::vector<PhotoRow> PhotoCommand::AlbumRows(IPhotoAlbum* album) {
    BwPhotoList photos;
    album->CopyPhotosTo(&photos);
    std::vector<PhotoRow> rows;
    int index = 0;
    for (IPhoto* photo : photos) {
        if (photo == nullptr) continue;
        rows.push_back({photo, index++, PhotoText(photo, BW_PHOTO_FILE_NAME), ShownTitle(album)});
    }
    return rows;
}

std::vector<PhotoRow> PhotoCommand::EveryPhoto() {
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

void PhotoCommand::Reload() {
    albums_.clear();
    manager_->ReloadLibrary();
    const int32_t albums = manager_->LoadAlbums();
    for (int32_t i = 0; i < albums; ++i) {
        if (IPhotoAlbum* album = manager_->GetAlbum(i); album != nullptr) albums_.push_back(album);
    }
}

bool PrepareFolder(const std::string& folder, std::string& error) {
    if (::mkdir(folder.c_str(), 0755) == 0) return true;
    struct stat info {};
    if (errno == EEXIST && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    error = Printable(folder) + ": " + (errno == EEXIST ? "not a folder" : std::strerror(errno));
    return false;
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
}  // namespace cli
