/* Inspection of the files the library reads and writes: property lists and backup manifests.
 * These serve tools and hosts that show such files to people. Paths and words are host text
 * (UTF-16); what the functions produce is bytes (UTF-8 text, or a binary property list) handed to
 * the host's sink. Every function returns 1 on success and 0 on failure; on failure
 * BrackwaterLastError tells a one-line message naming the file and the problem. */
#ifndef BRACKWATER_INSPECT_H
#define BRACKWATER_INSPECT_H

#include <stddef.h>

#include "brackwater/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives output in one or more pieces, in order. The pieces are bytes, not host text: the
 * converted document or the listing's lines as they are written to a file. */
typedef void (*BwOutputSink)(void* context, const char* bytes, size_t length);

/* Converts the property list (XML or binary) at `path`.
 * format: "json", "xml" or "binary". codec: "library" (the plist library layer, the default when
 * null) or "own" (the library's own codec, which also writes the binary form).
 * JSON form: dictionaries become objects with keys in the list's order; arrays, strings, integers
 * and booleans map directly; reals too, with infinities and NaN as the strings "inf", "-inf" and
 * "nan"; a date becomes {"$date": "YYYY-MM-DDTHH:MM:SSZ"}, data {"$data": "<base64>"}, a UID
 * {"CF$UID": n}. The output ends with a newline. */
BRACKWATER_API int BrackwaterPlistConvert(const BwChar* path, const BwChar* format,
                                          const BwChar* codec, BwOutputSink sink, void* context);

/* Lists the records of a backup manifest, one line per record in file order, each ending in a
 * newline. `path` is a backup folder or its "Manifest.mbdb". With `json` non-zero each line is a
 * JSON object with the keys domain, path, target, hash, key, mode, inode, uid, gid, mtime, atime,
 * ctime, size, protection, properties, file and exists; otherwise a table row:
 * file name, mode, size, domain and path (and " -> target" for links). */
BRACKWATER_API int BrackwaterManifestList(const BwChar* path, int json, BwOutputSink sink,
                                          void* context);

/* Loads a "Manifest.mbdb" and saves it in place; an unchanged manifest saves byte-identical. */
BRACKWATER_API int BrackwaterManifestResave(const BwChar* path);

#ifdef __cplusplus
}
#endif

#endif
