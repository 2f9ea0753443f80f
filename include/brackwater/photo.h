/* Photos: the photo library of a connected device by album, thumbnails, and copies of photo files
 * to the computer. A manager copies the device's library database into a local folder, reads the
 * albums and photos from it, and hands them to the host by index. */
#ifndef BRACKWATER_PHOTO_H
#define BRACKWATER_PHOTO_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"

#ifdef __cplusplus
#include <list>

class CIPhone;
class IPhoto;

/* A list of photos handed between an album and the host. */
typedef std::list<IPhoto*> BwPhotoList;

/* One photo or video of the device library. Times are seconds as the library stores them (from
 * 2001-01-01 UTC). Buffer operations copy into the caller's buffer when one is given and always
 * return the byte count, so a first call with a null buffer gives the size. */
class IPhoto {
  public:
    virtual int32_t GetAssetKey() = 0;
    virtual int32_t GetAlbumKey() = 0;
    /* Reads the photo's thumbnail from the device's cache, or makes it from the photo (fitted
     * into a `width` x `height` box, proportions kept) and stores it there; 1 when the photo has
     * thumbnail bytes afterwards. */
    virtual unsigned char LoadThumbnailSized(int32_t width, int32_t height) = 0;
    /* As LoadThumbnailSized with the standard 98 x 98 box. */
    virtual unsigned char LoadThumbnail() = 0;
    /* The JPEG bytes of the loaded thumbnail; 0 before a load. */
    virtual uint32_t GetThumbnail(unsigned char* buffer) = 0;
    virtual int64_t GetFileSize() = 0;
    virtual double GetCreationTime() = 0;
    virtual int32_t GetWidth() = 0;
    virtual int32_t GetHeight() = 0;
    /* The photo's path on the device (UTF-8) with its terminating zero; the result counts the
     * zero. */
    virtual uint32_t GetDevicePath(char* buffer) = 0;
    /* Copies the photo's file into `folder` (UTF-8) under its device file name; 0 for a null
     * folder, else 1 whatever became of the copy. */
    virtual unsigned char ExportTo(const char* folder) = 0;
    /* The size of the photo's file on the device; with a buffer (at least that large) the file
     * is read into it. 0 when the file cannot be read. */
    virtual uint64_t ReadPhotoFile(unsigned char* buffer) = 0;
    /* 1 when both photos have the same asset key. */
    virtual unsigned char IsSamePhoto(IPhoto* other) = 0;
    virtual ~IPhoto() = default;
};

/* An album of the device library. It owns its photos, except the video album, whose photos
 * belong to the camera roll. */
class IPhotoAlbum {
  public:
    virtual int32_t GetAlbumKey() = 0;
    virtual void AddPhoto(IPhoto* photo) = 0;
    /* Removes every entry equal to `photo`; the photo is not destroyed. */
    virtual void RemovePhoto(IPhoto* photo) = 0;
    /* The first photo, null for an empty album. */
    virtual IPhoto* GetFirstPhoto() = 0;
    /* Copies the photo pointers into `list`; the album's count. */
    virtual int32_t CopyPhotosTo(BwPhotoList* list) = 0;
    /* Replaces the album's list with the pointers of `list`; the new count. */
    virtual int32_t SetPhotos(const BwPhotoList* list) = 0;
    /* The same operation as GetAlbumKey, kept in its own slot. */
    virtual int32_t GetAlbumKeySame() = 0;
    virtual void SetAlbumKey(int32_t key) = 0;
    /* The album's kind as the library stores it (1000 camera roll, 2 synced album, ...). */
    virtual int32_t GetKind() = 0;
    virtual void SetKind(int32_t kind) = 0;
    /* Fills `list` with the album's videos; their number. */
    virtual int32_t GetVideos(BwPhotoList* list) = 0;
    /* As SetPhotos, without a result. */
    virtual void AssignPhotos(const BwPhotoList* list) = 0;
    /* Fills `list` with the album's still photos; their number. */
    virtual int32_t GetStills(BwPhotoList* list) = 0;
    /* The same operation as AssignPhotos, kept in its own slot. */
    virtual void AssignPhotosSame(const BwPhotoList* list) = 0;
    /* 0 camera roll, 1 all library photos, 2 photo stream, 3 ordinary album, 5 videos. */
    virtual int32_t GetAlbumType() = 0;
    virtual void SetAlbumType(int32_t type) = 0;
    virtual int32_t CountStills() = 0;
    virtual int32_t CountPhotos() = 0;
    virtual int32_t CountVideos() = 0;
    virtual ~IPhotoAlbum() = default;
};

/* The photos of one device. Indexes are 0-based; texts are UTF-8 paths of the computer. */
class IPhotoManager {
  public:
    /* Reads the albums again; their number. Albums handed out before are released. */
    virtual int32_t LoadAlbums() = 0;
    /* Album `index`, owned by the manager; null outside 0 to count minus 1. */
    virtual IPhotoAlbum* GetAlbum(int32_t index) = 0;
    /* Appends the still photos of every album to the photo list (neighbouring entries of the
     * same photo merged); the size of the list. */
    virtual int32_t LoadPhotos() = 0;
    /* Photo `index` of the photo list; null when out of range. */
    virtual IPhoto* GetPhoto(int32_t index) = 0;
    /* Copies the file of photo `index` into `folder`; 1 whatever became of the copy. */
    virtual unsigned char ExportPhoto(int32_t index, const char* folder) = 0;
    /* Adds pictures of the computer to the device's library; the number of paths handed over. */
    virtual int32_t AddPhotos(const char* const* paths, int32_t count) = 0;
    /* Deletes photos from the device; the host reloads the library afterwards. */
    virtual int32_t DeletePhotos(IPhoto* const* photos, int32_t count) = 0;
    virtual int32_t DeletePhotosByKey(const int32_t* keys, int32_t count) = 0;
    /* Copies the database again and reloads albums and photos; 1. */
    virtual unsigned char ReloadLibrary() = 0;
    /* Reserved; each answers 0. */
    virtual int32_t Reserved9(int32_t first, int32_t second) = 0;
    virtual int32_t Reserved10(int32_t first, int32_t second) = 0;
    virtual int32_t Reserved11(int32_t first, int32_t second) = 0;
    virtual ~IPhotoManager() = default;
};
#else
typedef struct CIPhone CIPhone;
typedef struct IPhoto IPhoto;
typedef struct IPhotoAlbum IPhotoAlbum;
typedef struct IPhotoManager IPhotoManager;
#endif

/* Fields of BrackwaterPhotoText. */
#define BW_PHOTO_FILE_NAME 0  /* "IMG_0001.JPG" */
#define BW_PHOTO_DIRECTORY 1  /* "DCIM/100APPLE" as the library stores it */
#define BW_PHOTO_UUID 2       /* "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" */
#define BW_PHOTO_TITLE 3      /* the title, or on iOS 7 the source file name */
#define BW_PHOTO_ALBUM_NAME 4 /* set for photos of the albums the library makes up */

/* Fields of BrackwaterPhotoAlbumText. */
#define BW_ALBUM_TITLE 0
#define BW_ALBUM_UUID 1

/* Fields of BrackwaterPhotoNumber. */
#define BW_PHOTO_ORIENTATION 0  /* 1, 3, 6 or 8 */
#define BW_PHOTO_IS_VIDEO 1     /* 1 for videos */
#define BW_PHOTO_ALBUM_TYPE 2   /* as IPhotoAlbum::GetAlbumType */
#define BW_PHOTO_KIND_SUBTYPE 3 /* iOS 7 */

/* Progress of a photo sync (AddPhotos, DeletePhotos), called from the sync's own threads: `stage`
 * 1 sync requested, 2 library list sent, 3 one picture sent (`done` of `total`, `name` its file
 * name), 4 finished; `name` is valid during the call only. */
typedef void (*BwPhotoSyncProgress)(void* context, int32_t stage, int32_t done, int32_t total,
                                    const BwChar* name);

/* Results of BrackwaterPhotoSyncResult. */
#define BW_PHOTO_SYNC_NONE (-1)      /* no add or delete run yet */
#define BW_PHOTO_SYNC_DONE 0         /* the device applied the change */
#define BW_PHOTO_SYNC_REFUSED 1      /* the device refused the sync */
#define BW_PHOTO_SYNC_TIMED_OUT 2    /* the device stopped answering */
#define BW_PHOTO_SYNC_DEVICE_LEFT 3  /* the device left during the sync */
#define BW_PHOTO_SYNC_START_FAILED 4 /* the sync could not start */

#ifdef __cplusplus
extern "C" {
#endif

/* A photo manager for the device; null for a null device or when memory runs out. The manager
 * does not own the device. */
BRACKWATER_API IPhotoManager* NewPhotoManager(CIPhone* device);
/* Destroys the manager with its albums and photos; null is ignored. */
BRACKWATER_API void DeletePhotoManager(IPhotoManager* manager);

/* A text field of a photo or album by the two-call rule: with a null buffer the result is the
 * text's length in UTF-16 characters plus 2; with a buffer of at least that many characters the
 * text and its terminating zero are copied and the result is the same. 0 for an unknown field or
 * a null photo or album. */
BRACKWATER_API size_t BrackwaterPhotoText(IPhoto* photo, int32_t field, BwChar* buffer);
BRACKWATER_API size_t BrackwaterPhotoAlbumText(IPhotoAlbum* album, int32_t field, BwChar* buffer);
/* A number field of a photo; 0 for an unknown field or a null photo. */
BRACKWATER_API int32_t BrackwaterPhotoNumber(IPhoto* photo, int32_t field);

/* How the manager's last AddPhotos or DeletePhotos sync ended (BW_PHOTO_SYNC_...); -1 for a null
 * manager. */
BRACKWATER_API int32_t BrackwaterPhotoSyncResult(IPhotoManager* manager);
/* AddPhotos into the synced album named `album`, which the device makes when it has none of that
 * name; a null or empty name adds to the loose synced photos as AddPhotos does. `paths` are the
 * pictures' files on the host; null entries are skipped. Returns the number of paths handed to
 * the sync; 0 for a null manager, and 0 without a sync when a path or the name is not valid
 * UTF-16. */
BRACKWATER_API int32_t BrackwaterPhotoAddToAlbum(IPhotoManager* manager, const BwChar* const* paths,
                                                 int32_t count, const BwChar* album);
/* Sets the progress callback of the manager's later syncs; a null callback removes it. */
BRACKWATER_API void BrackwaterPhotoSetSyncProgress(IPhotoManager* manager,
                                                   BwPhotoSyncProgress callback, void* context);

#ifdef __cplusplus
}
#endif

#endif
