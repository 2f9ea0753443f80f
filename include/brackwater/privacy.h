/* The result records of the private-data scanners that work on a fresh backup of the device: calls
 * (junk type 8), conversations with their messages and attachments (9), data that the backup
 * still holds for removed applications (17) and attachment files that no message refers to (18).
 * The recently running applications (15) are IAppInfo records (brackwater/apps.h).
 * The host reaches them through the scan session's result slots (brackwater/scan.h) and follows
 * the same rules as for the other records there: the library owns them, text getters follow the
 * two-call rule, Select (toggle) inverts the flag when the toggle is true and returns the flag,
 * and every found item starts selected. */
#ifndef BRACKWATER_PRIVACY_H
#define BRACKWATER_PRIVACY_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"

#ifdef __cplusplus
/* One call of the call history. */
class ICallHistoryModel {
  public:
    virtual size_t GetAddress(BwChar* buffer) = 0;
    /* 1 to 8 from the call's flags and duration (outgoing, incoming, missed, FaceTime...); 0 for
     * flags the device did not use in iOS 5 to 7. */
    virtual int32_t GetCallType() = 0;
    virtual int32_t GetAddressBookId() = 0; /* -1 when the call names no contact */
    virtual double GetDate() = 0;           /* seconds as the database stores them */
    virtual int32_t GetDuration() = 0;      /* seconds */
    virtual int32_t GetFlags() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int32_t GetRowId() = 0;
    virtual ~ICallHistoryModel() = default;
};

/* The calls of one contact name (an empty name: numbers that match no contact). */
class ICallContactModel {
  public:
    virtual int32_t GetCallCount() = 0;
    virtual ICallHistoryModel* GetCall(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual size_t GetContactName(BwChar* buffer) = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int32_t GetSequenceNumber() = 0; /* 0 for the first group found, then 1, 2, ... */
    virtual ~ICallContactModel() = default;
};

/* One file of an attachment, as the backup stores it. */
class IAttachDetailModel {
  public:
    virtual size_t GetName(BwChar* buffer) = 0;           /* the file's name */
    virtual size_t GetRelativePath(BwChar* buffer) = 0;   /* its path in the media domain */
    virtual size_t GetBackupFileName(BwChar* buffer) = 0; /* the file's name in the backup */
    virtual uint64_t GetSize() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual unsigned char GetFlag() = 0; /* a second flag, 0; reserved for the host */
    virtual ~IAttachDetailModel() = default;
};

/* One attachment record of a message. */
class IAttachmentModel {
  public:
    virtual IAttachDetailModel* GetDetail(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual int64_t GetCreatedDate() = 0;                     /* as the database stores it */
    virtual int64_t GetStartDate() = 0;
    virtual int32_t GetDetailCount() = 0;
    virtual size_t GetCreatedDateText(BwChar* buffer) = 0;
    virtual size_t GetFileName(BwChar* buffer) = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int32_t GetRowId() = 0;
    virtual unsigned char GetFlag() = 0; /* a second flag, 0; reserved for the host */
    virtual uint64_t GetSize() = 0;      /* the sizes of its files */
    virtual ~IAttachmentModel() = default;
};

/* One message of a conversation. */
class IMessageModel {
  public:
    virtual int32_t GetAttachmentCount() = 0;
    virtual IAttachmentModel* GetAttachment(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual uint64_t GetMessageSize() = 0; /* the message without attachments */
    virtual unsigned char HasAttachments() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual unsigned char IsFinished() = 0;
    virtual unsigned char IsRead() = 0;
    virtual unsigned char IsSent() = 0;
    virtual int32_t GetAttachmentRecordCount() = 0;
    virtual int64_t GetLegacyReadDate() = 0; /* iOS 5: the "madrid" read date; else 0 */
    virtual int64_t GetDate() = 0;           /* as the database stores it */
    virtual size_t GetDateText(BwChar* buffer) = 0;
    virtual int64_t GetReadDate() = 0;
    virtual size_t GetReadDateText(BwChar* buffer) = 0;
    virtual size_t GetText(BwChar* buffer) = 0;
    virtual int32_t GetRowId() = 0;
    virtual size_t GetSubject(BwChar* buffer) = 0;
    virtual uint64_t GetAttachmentsSize() = 0;
    virtual uint64_t GetTotalSize() = 0; /* the message and its attachments */
    /* The selected flag of attachment `index` (0 outside the list). */
    virtual unsigned char IsAttachmentSelected(int32_t index) = 0;
    virtual ~IMessageModel() = default;
};

/* One conversation. */
class ISMSChatModel {
  public:
    virtual size_t GetGuid(BwChar* buffer) = 0;           /* iOS 6 and 7 only */
    virtual size_t GetChatIdentifier(BwChar* buffer) = 0; /* a phone number or an e-mail address */
    virtual size_t GetContactName(BwChar* buffer) = 0;    /* from the address book, or empty */
    virtual size_t GetDisplayName(BwChar* buffer) = 0;    /* the name, else the identifier */
    virtual size_t GetServiceName(BwChar* buffer) = 0;    /* iOS 5 only: "SMS", "iMessage" */
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual IMessageModel* GetMessage(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual int32_t GetRowId() = 0;
    virtual int32_t GetAttachmentCount() = 0;
    virtual int32_t GetMessageCount() = 0;
    virtual uint64_t GetTotalSize() = 0;
    virtual ~ISMSChatModel() = default;
};

/* An attachment file of the backup that no message refers to. */
class ISurplusFileModel {
  public:
    virtual size_t GetName(BwChar* buffer) = 0; /* its path in the media domain */
    /* The file's manifest record, owned by the library (opaque to the host). */
    virtual const void* GetRecord() = 0;
    virtual uint64_t GetSize() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual ~ISurplusFileModel() = default;
};

/* One file that a removed application left in the backup. */
class IAppRemainFileModel {
  public:
    virtual size_t GetName(BwChar* buffer) = 0; /* its path in the application's domain */
    virtual uint64_t GetSize() = 0;
    virtual ~IAppRemainFileModel() = default;
};

/* A removed application whose data the backup still holds. */
class IAppRemainModel {
  public:
    virtual IAppRemainFileModel* GetFile(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual size_t GetIdentifier(BwChar* buffer) = 0;
    virtual uint64_t GetTotalSize() = 0;
    virtual int32_t GetFileCount() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual ~IAppRemainModel() = default;
};

/* One notification that a push store keeps (junk type 16). */
class IPushMessageModel {
  public:
    virtual double GetCreationTime() = 0;           /* seconds since 2001-01-01 */
    virtual size_t GetDateText(BwChar* buffer) = 0; /* "YYYY-MM-DD hh:mm:ss", local time */
    virtual size_t GetMessageText(BwChar* buffer) = 0;
    virtual ~IPushMessageModel() = default;
};

/* The push store of one application, with the notifications it keeps (junk type 16). */
class IAppPushStoreModel {
  public:
    virtual size_t GetIconData(unsigned char* buffer) = 0; /* PNG bytes; 0 without an icon */
    virtual size_t GetDisplayName(BwChar* buffer) = 0;     /* the notifications' title */
    virtual size_t GetBundleIdentifier(BwChar* buffer) = 0;
    virtual size_t GetFilePath(BwChar* buffer) = 0; /* the store's working copy */
    virtual uint64_t GetFileSize() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int32_t GetMessageCount() = 0;
    virtual IPushMessageModel* GetMessage(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual ~IAppPushStoreModel() = default;
};

/* Safari's cookies (junk type 11): the session's cookie-tree slot gives an ICookieModel, the
 * file's pages in file order, each with its cookies. Clearing a page's keep flag removes the
 * page whole; otherwise the clean removes the page's selected cookies. Byte getters copy into
 * the buffer when it is not null and return the byte count; text getters follow the two-call
 * rule. */
class ICookieContentModel {
  public:
    virtual uint32_t GetOffset() = 0; /* within its page, as read */
    virtual uint32_t GetRecordSize() = 0;
    virtual size_t GetCreationDateText(BwChar* buffer) = 0;   /* local time */
    virtual size_t GetExpirationDateText(BwChar* buffer) = 0; /* local time */
    virtual size_t GetFlags(unsigned char* buffer) = 0;       /* 4 raw bytes */
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual size_t GetNameBytes(unsigned char* buffer) = 0; /* as stored, terminator included */
    virtual uint32_t GetNameOffset() = 0;                   /* from the record's start */
    virtual size_t GetName(BwChar* buffer) = 0;
    /* Field `index` of the four strings ordered by offset: its name ("url", "name", "path",
     * "value", owned by the library) and offset; 0 outside 0 to 3. */
    virtual unsigned char GetStringField(int32_t index, const char** name, uint32_t* offset) = 0;
    virtual int32_t GetStringFieldCount() = 0; /* 4 */
    virtual size_t GetPathBytes(unsigned char* buffer) = 0;
    virtual uint32_t GetPathOffset() = 0;
    virtual size_t GetPath(BwChar* buffer) = 0;
    virtual size_t GetReserved1(unsigned char* buffer) = 0; /* 4 raw bytes */
    virtual size_t GetUrlBytes(unsigned char* buffer) = 0;
    virtual uint32_t GetUrlOffset() = 0;
    virtual size_t GetUrl(BwChar* buffer) = 0; /* the cookie's domain */
    virtual size_t GetValueBytes(unsigned char* buffer) = 0;
    virtual uint32_t GetValueOffset() = 0;
    virtual size_t GetValue(BwChar* buffer) = 0;
    virtual size_t GetEndOfHeader(unsigned char* buffer) = 0; /* 8 raw bytes */
    virtual size_t GetReserved2(unsigned char* buffer) = 0;   /* 4 raw bytes */
    virtual double GetCreationDate() = 0;   /* seconds since 2001-01-01 00:00:00 */
    virtual double GetExpirationDate() = 0; /* seconds since 2001-01-01 00:00:00 */
    virtual ~ICookieContentModel() = default;
};

/* One page of the cookie file: in practice the cookies of one site. */
class ICookiePageModel {
  public:
    virtual ICookieContentModel* GetCookie(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual int32_t GetCookieCount() = 0;
    virtual size_t GetHeader(unsigned char* buffer) = 0; /* 4 raw bytes */
    virtual unsigned char Keep(unsigned char toggle) = 0;
    virtual size_t GetName(BwChar* buffer) = 0; /* "Page 0", "Page 1", ... */
    virtual uint32_t GetPageSize() = 0;
    virtual size_t GetFooter(unsigned char* buffer) = 0; /* 4 raw bytes */
    virtual ~ICookiePageModel() = default;
};

/* The cookie file. */
class ICookieModel {
  public:
    virtual ICookiePageModel* GetPage(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual int32_t GetPageCount() = 0;
    /* 0 after a scan; a clean subtracts the size of every page it removes whole. */
    virtual int64_t GetTotal() = 0;
    virtual size_t GetTrailer(unsigned char* buffer) = 0; /* the bytes after the last page */
    virtual size_t GetMagic(unsigned char* buffer) = 0;   /* 4 bytes, "cook" */
    virtual ~ICookieModel() = default;
};

/* Web application data (junk type 13). Before iOS 7 one record is one offline application cache
 * of a web page, and its items are the cached resources; on iOS 7 one record is one origin's
 * local storage, and its items are its key/value pairs. A selected record is removed whole;
 * otherwise its selected items are. */
class IResourceDataModel {
  public:
    virtual size_t GetKey(BwChar* buffer) = 0;   /* the resource's URL, or the storage key */
    virtual size_t GetValue(BwChar* buffer) = 0; /* its MIME type, or the stored value */
    virtual uint64_t GetSize() = 0;              /* bytes of the data, or of key and value */
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int64_t GetResourceId() = 0; /* the cached resource's id; 0 for local storage */
    virtual ~IResourceDataModel() = default;
};

class ICacheGroupsModel {
  public:
    virtual int64_t GetCacheId() = 0;      /* 0 for local storage */
    virtual int64_t GetCacheGroupId() = 0; /* 0 for local storage */
    virtual uint64_t GetSize() = 0;        /* the cache's size, or the sum of its items' sizes */
    /* The cache's manifest URL, or the local-storage file's path from "Library" on. */
    virtual size_t GetManifestUrl(BwChar* buffer) = 0;
    virtual int32_t GetItemCount() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int64_t GetManifestHostHash() = 0; /* 0 for local storage */
    /* The local-storage file's path as the tracker stores it; empty for application caches. */
    virtual size_t GetStoredPath(BwChar* buffer) = 0;
    virtual int64_t GetNewestCacheId() = 0; /* 0 for local storage */
    virtual size_t GetOrigin(BwChar* buffer) = 0;
    virtual IResourceDataModel* GetItem(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual ~ICacheGroupsModel() = default;
};

/* Web mail (junk type 14): offline copies of messages that two mail sites keep in web databases
 * of the browser. One IMailModel per site found, with its messages. */
class IMailMessage {
  public:
    virtual size_t GetMessageId(BwChar* buffer) = 0;
    /* The folder (first site) or the conversation (second site) of the message. */
    virtual size_t GetGroupId(BwChar* buffer) = 0;
    virtual size_t GetSubject(BwChar* buffer) = 0;
    virtual size_t GetSender(BwChar* buffer) = 0;
    virtual size_t GetRecipients(BwChar* buffer) = 0;
    /* Unix seconds as the site stored them (the second site stores milliseconds: divided). */
    virtual int64_t GetReceivedTime() = 0;
    /* "%Y-%m-%d %H:%M:%S" of the received time moved by the device's offset from UTC. */
    virtual size_t GetReceivedDateText(BwChar* buffer) = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual ~IMailMessage() = default;
};

class IMailModel {
  public:
    virtual size_t GetOrigin(BwChar* buffer) = 0; /* as the browser's database index has it */
    virtual size_t GetPath(BwChar* buffer) = 0;   /* the web database's file name in the index */
    virtual int32_t GetMessageCount() = 0;
    virtual IMailMessage* GetMessage(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual ~IMailModel() = default;
};

/* ---- Safari: visited pages (junk type 12) and the saved open tabs (junk type 10) ---- */

/* One visited page of Safari's history. */
class IHistoryDataModel {
  public:
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual int32_t GetSequenceNumber() = 0; /* 1 for the first page listed, then 2, 3, ... */
    virtual size_t GetURL(BwChar* buffer) = 0;
    virtual double GetLastVisitTime() = 0; /* seconds since 2001-01-01; 0 when unknown */
    virtual size_t GetTitle(BwChar* buffer) = 0;
    virtual int32_t GetVisitCount() = 0;
    /* "YYYY-MM-DD hh:mm:ss" in local time; empty when the time is unknown. */
    virtual size_t GetDateText(BwChar* buffer) = 0;
    virtual ~IHistoryDataModel() = default;
};

/* One page of a saved tab's back-and-forward history. */
class IPageEntriesList {
  public:
    virtual uint64_t GetSize() = 0; /* a nominal size from the title and URL, for the totals */
    virtual size_t GetTitle(BwChar* buffer) = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual unsigned char GetScaleIsInitial() = 0; /* 1 for true, 0 for false or absent */
    virtual size_t GetURL(BwChar* buffer) = 0;
    virtual ~IPageEntriesList() = default;
};

/* One tab that Safari saved with its history. Its flag selects the whole tab; with the flag
 * cleared, a clean removes only the tab's selected entries. */
class ISuspendStateModel {
  public:
    virtual size_t GetTitle(BwChar* buffer) = 0;
    virtual size_t GetURL(BwChar* buffer) = 0;
    virtual size_t GetUserVisibleURL(BwChar* buffer) = 0;
    virtual size_t GetUUID(BwChar* buffer) = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual double GetLastViewedTime() = 0; /* seconds since 2001-01-01 */
    virtual size_t GetDateText(BwChar* buffer) = 0;
    virtual int32_t GetEntryCount() = 0;
    virtual IPageEntriesList* GetEntry(int32_t index) = 0; /* null outside 0 to count - 1 */
    virtual uint64_t GetTotalSize() = 0;                   /* the sizes of its entries */
    virtual ~ISuspendStateModel() = default;
};
#endif

#endif
