// What the photo commands share: the device's library opened through the photo manager, its
// albums and photos as rows, and how they are shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "brackwater/photo.h"
#include "cli.h"
#include "device_session.h"
#include "text.h"

namespace cli {

struct ManagerDeleter {
    void operator()(IPhotoManager* manager) const { DeletePhotoManager(manager); }
};
using PhotoManager = std::unique_ptr<IPhotoManager, ManagerDeleter>;

std::string PhotoText(IPhoto* photo, int32_t field);
std::string AlbumText(IPhotoAlbum* album, int32_t field);
// Seconds since 2001 as an ISO 8601 UTC time, "?" when out of range.
std::string LibraryTime(double seconds);
const char* AlbumTypeName(int32_t type);
// Album titles as a person reads them: the made-up albums get the names a phone shows.
std::string ShownTitle(IPhotoAlbum* album);
// `text` followed by spaces up to `width` terminal columns.
std::string Padded(const std::string& text, size_t width);

// One photo as the list and the copies see it.
struct PhotoRow {
    IPhoto* photo = nullptr;
    int index = 0;  // in the manager's photo list, or in the album
    std::string name;
    std::string album;
};

// A file name from the device that can stand in a host folder: a plain name of at most 255
// bytes, not "." or "..". Anything else is shown but never used as a host name.
bool IsPlainName(const std::string& name);

class PhotoCommand {
  public:
    bool Open(const Arguments& args, std::string& error);
    bool Attach(CIPhone* device, std::string& error);

    const std::vector<IPhotoAlbum*>& albums() const { return albums_; }
    IPhotoManager* manager() const { return manager_.get(); }
    CIPhone* device() const { return device_; }

    // The album a word names: its number in `photos albums`, or its title (as shown or as
    // stored). Null with the reason in `error`.
    IPhotoAlbum* FindAlbum(const std::string& word, std::string& error) const;
    // The whole library: the manager's photo list, each with the first album that holds it.
    std::vector<PhotoRow> LibraryRows();
    // Every photo and video of one album, in the album's order.
    static std::vector<PhotoRow> AlbumRows(IPhotoAlbum* album);
    // Every photo and video of the library once (by asset key), for pull --all.
    std::vector<PhotoRow> EveryPhoto();
    // Drops the albums, then reads the device's library again.
    void Reload();

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
bool PrepareFolder(const std::string& folder, std::string& error);

void PrintPhotoRow(const PhotoRow& row, bool json);

}  // namespace cli
