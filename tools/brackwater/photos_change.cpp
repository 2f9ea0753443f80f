// brackwater photos add|rm|delete: pictures from the computer go to the device's synced library
// through a photo sync, synced photos leave it the same way, and camera-roll photos are deleted
// through the device's camera (portable-device) interface.
#include <vips/vips8>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "photo_library_view.h"
#include "simulator_setup.h"

namespace cli {

namespace {

// What a sync run tells while it works: one line per stage and per picture, on standard output
// so that a person (and a log) sees how far it came. The run calls from its own threads.
class SyncReport {
  public:
    static void Callback(void* context, int32_t stage, int32_t done, int32_t total,
                         const BwChar* name) {
        static_cast<SyncReport*>(context)->Line(stage, done, total, name);
    }

  private:
    void Line(int32_t stage, int32_t done, int32_t total, const BwChar* name) {
        std::lock_guard<std::mutex> lock(mutex_);
        // A stage may report its start and its end; a person needs it once, pictures each.
        if (stage != 3 && stage == lastStage_) return;
        lastStage_ = stage;
        const std::string shown = name != nullptr ? Printable(ToUtf8(name)) : std::string();
        switch (stage) {
            case 1:
                std::printf("  sync requested\n");
                break;
            case 2:
                std::printf("  library list sent\n");
                break;
            case 3:
                if (total > 0 && !shown.empty()) {
                    std::printf("  sent %s (%d of %d)\n", shown.c_str(), done, total);
                } else {
                    std::printf("  %d pictures asked for\n", total);
                }
                break;
            case 4:
                std::printf("  sync finished\n");
                break;
            default:
                break;
        }
        std::fflush(stdout);
    }

    std::mutex mutex_;
    int32_t lastStage_ = 0;
};

const char* SyncFailure(int32_t result) {
    switch (result) {
        case 1:
            return "the device refused the photo sync";
        case 2:
            return "the device stopped answering during the photo sync";
        case 3:
            return "the device went away during the photo sync";
        case 4:
            return "cannot start a photo sync with the device";
        default:
            return "the photo sync failed";
    }
}

std::string SyncFailureText(int32_t result) {
    const std::string text = SyncFailure(result);
    return result == 4 ? text + MissingFromDeviceRuntime("a photo sync", "AirTraffic library")
                       : text;
}

// Synced photos are the ones the computer put there; the library keeps them below a "Sync"
// folder, which is how the device itself tells them apart.
bool IsSynced(IPhoto* photo) {
    std::string path(photo->GetDevicePath(nullptr), '\0');
    if (!path.empty()) path.resize(photo->GetDevicePath(path.data()));
    return path.find("Sync/") != std::string::npos;
}

bool IsNumber(const std::string& word) {
    return !word.empty() && word.size() < 9 &&
           std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The photos that `words` name among `candidates`: a number is an index of `photos list`
// (`listed`), anything else a file name, which names every candidate of that name. A word that
// names none is reported in `error` with `why`.
bool Resolve(const std::vector<std::string>& words, const std::vector<PhotoRow>& listed,
             const std::vector<PhotoRow>& candidates, const char* why, std::vector<IPhoto*>& chosen,
             std::string& error) {
    std::set<int32_t> keys;
    for (const std::string& word : words) {
        bool named = false;
        const auto take = [&](const PhotoRow& row) {
            named = true;
            if (keys.insert(row.photo->GetAssetKey()).second) chosen.push_back(row.photo);
        };
        if (IsNumber(word)) {
            const auto index = std::strtoul(word.c_str(), nullptr, 10);
            const auto row = std::find_if(listed.begin(), listed.end(), [&](const PhotoRow& r) {
                return static_cast<unsigned long>(r.index) == index;
            });
            if (row == listed.end()) {
                error = std::string("no photo ") + word + " in brackwater photos list";
                return false;
            }
            for (const PhotoRow& candidate : candidates) {
                if (candidate.photo->GetAssetKey() == row->photo->GetAssetKey()) take(candidate);
            }
        } else {
            // Synced photos get new names on the device; the name they had on the computer
            // stays their title.
            for (const PhotoRow& candidate : candidates) {
                if (candidate.name == word || PhotoText(candidate.photo, BW_PHOTO_TITLE) == word)
                    take(candidate);
            }
        }
        if (!named) {
            error = Printable(word) + " is not " + why;
            return false;
        }
    }
    return true;
}

std::set<int32_t> KeysOf(const std::vector<PhotoRow>& rows) {
    std::set<int32_t> keys;
    for (const PhotoRow& row : rows)
        keys.insert(row.photo->GetAssetKey());
    return keys;
}

// A picture file the command can hand over: an existing regular file that libvips can read,
// as an absolute path (the sync reads it from its own threads).
bool CheckPicture(const std::string& file, std::string& absolute, std::string& error) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = Printable(file) + ": no such picture file";
        return false;
    }
    char resolved[PATH_MAX];
    if (::realpath(file.c_str(), resolved) == nullptr || ::access(resolved, R_OK) != 0) {
        error = Printable(file) + ": cannot read it";
        return false;
    }
    if (vips_foreign_find_load(resolved) == nullptr) {
        error = Printable(file) + ": not a picture";
        return false;
    }
    // The library takes the path as UTF-16; a resolved path that is not UTF-8 (a link into a
    // folder so named) would reach it as another name.
    if (const std::string bad = NotUtf8Message("FILE", resolved); !bad.empty()) {
        error = bad;
        return false;
    }
    absolute = resolved;
    return true;
}

// Adds the pictures; prints the photos that arrived. `album` empty: the loose synced photos.
// The indexes of the new photos in `photos list` go to `added` when given.
int AddPictures(PhotoCommand& command, const std::vector<std::string>& files,
                const std::string& album, std::vector<std::string>* added = nullptr) {
    if (VIPS_INIT("brackwater") != 0) return Fail("cannot start the image library");
    std::vector<std::string> paths;
    for (const std::string& file : files) {
        std::string absolute, error;
        if (!CheckPicture(file, absolute, error)) return Fail(error);
        paths.push_back(absolute);
    }
    const std::set<int32_t> before = KeysOf(command.LibraryRows());
    std::vector<std::u16string> widePaths;
    for (const std::string& path : paths)
        widePaths.push_back(ToWide(path));
    std::vector<const BwChar*> pointers;
    for (const std::u16string& path : widePaths)
        pointers.push_back(path.c_str());
    const std::u16string wideAlbum = ToWide(album);

    IPhotoManager* manager = command.manager();
    SyncReport report;
    BrackwaterPhotoSetSyncProgress(manager, &SyncReport::Callback, &report);
    std::printf("adding %zu pictures%s%s\n", paths.size(), album.empty() ? "" : " to album ",
                Printable(album).c_str());
    BrackwaterPhotoAddToAlbum(manager, pointers.data(), static_cast<int32_t>(pointers.size()),
                              album.empty() ? nullptr : wideAlbum.c_str());
    BrackwaterPhotoSetSyncProgress(manager, nullptr, nullptr);
    const int32_t result = BrackwaterPhotoSyncResult(manager);
    if (result != 0) return Fail(SyncFailureText(result));

    command.Reload();
    size_t arrived = 0;
    std::set<int32_t> shown;
    for (const PhotoRow& row : command.LibraryRows()) {
        // A photo of a named album is listed with the library and with its album: shown once.
        if (before.count(row.photo->GetAssetKey()) != 0 ||
            !shown.insert(row.photo->GetAssetKey()).second)
            continue;
        PrintPhotoRow(row, false);
        if (added != nullptr) added->push_back(std::to_string(row.index));
        ++arrived;
    }
    std::printf("%zu of %zu pictures added\n", arrived, paths.size());
    return arrived == paths.size() ? 0 : kExitFailure;
}

// Removes synced photos through a photo sync.
int RemoveSynced(PhotoCommand& command, const std::vector<std::string>& words) {
    const std::vector<PhotoRow> listed = command.LibraryRows();
    std::vector<PhotoRow> synced;
    std::copy_if(listed.begin(), listed.end(), std::back_inserter(synced),
                 [](const PhotoRow& row) { return IsSynced(row.photo); });
    std::vector<IPhoto*> chosen;
    std::string error;
    if (!Resolve(words, listed, synced, "a synced photo (photos delete removes camera-roll photos)",
                 chosen, error)) {
        return Fail(error);
    }
    IPhotoManager* manager = command.manager();
    SyncReport report;
    BrackwaterPhotoSetSyncProgress(manager, &SyncReport::Callback, &report);
    std::printf("removing %zu synced photos\n", chosen.size());
    std::set<int32_t> gone;
    for (IPhoto* photo : chosen)
        gone.insert(photo->GetAssetKey());
    manager->DeletePhotos(chosen.data(), static_cast<int32_t>(chosen.size()));
    BrackwaterPhotoSetSyncProgress(manager, nullptr, nullptr);
    const int32_t result = BrackwaterPhotoSyncResult(manager);
    if (result != 0) return Fail(SyncFailureText(result));

    command.Reload();
    size_t left = 0;
    for (int32_t key : KeysOf(command.LibraryRows()))
        left += gone.count(key);
    std::printf("%zu of %zu photos removed\n", gone.size() - left, gone.size());
    return left == 0 ? 0 : kExitFailure;
}

bool Confirmed(size_t count) {
    std::printf(
        "Delete %zu photos from the device's camera roll? They cannot be brought back. "
        "[y/N] ",
        count);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) answer.clear();
    if (!::isatty(STDIN_FILENO)) std::printf("%s\n", Printable(answer).c_str());
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Deletes camera-roll photos through the device's camera interface.
int DeleteFromCameraRoll(PhotoCommand& command, const std::vector<std::string>& words, bool yes) {
    const std::vector<PhotoRow> listed = command.LibraryRows();
    std::vector<PhotoRow> cameraRoll;
    for (IPhotoAlbum* album : command.albums()) {
        if (album->GetAlbumType() != 0 || album->GetKind() != 1000) continue;
        for (PhotoRow& row : PhotoCommand::AlbumRows(album))
            cameraRoll.push_back(std::move(row));
    }
    std::vector<IPhoto*> chosen;
    std::string error;
    if (!Resolve(words, listed, cameraRoll, "a camera-roll photo (photos rm removes synced photos)",
                 chosen, error)) {
        return Fail(error);
    }
    if (!yes && !Confirmed(chosen.size())) {
        std::printf("nothing deleted\n");
        return kExitFailure;
    }
    std::set<int32_t> gone;
    for (IPhoto* photo : chosen) {
        gone.insert(photo->GetAssetKey());
        std::printf("  deleting %s\n", Printable(PhotoText(photo, BW_PHOTO_FILE_NAME)).c_str());
    }
    command.manager()->DeletePhotos(chosen.data(), static_cast<int32_t>(chosen.size()));

    // The camera interface tells nothing back, so the library read afresh is the answer.
    command.Reload();
    std::set<int32_t> remaining;
    for (IPhotoAlbum* album : command.albums()) {
        if (album->GetAlbumType() == 0) {
            for (const PhotoRow& row : PhotoCommand::AlbumRows(album))
                remaining.insert(row.photo->GetAssetKey());
        }
    }
    size_t left = 0;
    for (int32_t key : gone)
        left += remaining.count(key);
    std::printf("%zu of %zu camera-roll photos deleted\n", gone.size() - left, gone.size());
    return left == 0 ? 0 : kExitFailure;
}

// Two pictures for the demo, drawn here: a sunrise gradient and a harbour of stripes.
bool DrawDemoPictures(const std::string& folder, std::vector<std::string>& files) {
    if (VIPS_INIT("brackwater") != 0) return false;
    try {
        const vips::VImage x = vips::VImage::xyz(960, 640)[0];
        const vips::VImage y = vips::VImage::xyz(960, 640)[1];
        const vips::VImage sunrise = (y * -0.3 + 230)
                                         .bandjoin(y * -0.2 + 160)
                                         .bandjoin(x * 0.1 + 60)
                                         .cast(VIPS_FORMAT_UCHAR);
        const vips::VImage harbour = ((x / 40).cast(VIPS_FORMAT_INT) % 2 * 120 + 40)
                                         .bandjoin(y * 0.2 + 60)
                                         .bandjoin(y * -0.1 + 200)
                                         .cast(VIPS_FORMAT_UCHAR);
        files = {folder + "/sunrise.jpg", folder + "/harbour.jpg"};
        sunrise.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave(files[0].c_str());
        harbour.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave(files[1].c_str());
    } catch (const vips::VError&) {
        return false;
    }
    return true;
}

}  // namespace

int RunPhotoChange(const std::string& action, Arguments& args, const std::string& album, bool yes) {
    PhotoCommand command;
    std::string error;
    if (!command.Open(args, error)) return Fail(error);
    if (action == "add") return AddPictures(command, args.words, album);
    if (action == "rm") return RemoveSynced(command, args.words);
    return DeleteFromCameraRoll(command, args.words, yes);
}

int PhotoChangeDemo(CIPhone* device, const std::string& folder) {
    PhotoCommand command;
    std::string error;
    if (!command.Attach(device, error)) return Fail(error);
    std::vector<std::string> files;
    if (!DrawDemoPictures(folder, files)) return Fail("cannot draw the demo pictures");
    std::vector<std::string> added;
    if (const int status = AddPictures(command, files, "", &added); status != 0) return status;
    if (added.size() != 2) return Fail("the demo pictures did not arrive");
    if (const int status = RemoveSynced(command, {added[1]}); status != 0) return status;
    return DeleteFromCameraRoll(command, {"IMG_0002.JPG"}, true);
}

}  // namespace cli
