/* Inspection of the files the library reads and writes: property lists and backup manifests.
 * These serve tools and hosts that show such files to people. Paths are UTF-8 here, like the
 * text of the files themselves. Every function returns 1 on success and 0 on failure; on failure
 * `error` (when not null) receives a one-line message naming the file and the problem, cut to
 * `errorSize` bytes including the terminating zero. */
#ifndef BRACKWATER_INSPECT_H
#define BRACKWATER_INSPECT_H

#include <stddef.h>

#include "brackwater/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Receives output in one or more pieces, in order. */
typedef void (*BwOutputSink)(void* context, const char* bytes, size_t length);

/* Converts the property list (XML or binary) at `path`.
 * format: "json", "xml" or "binary". codec: "library" (the plist library layer, the default when
 * null) or "own" (the library's own codec, which also writes the binary form).
 * JSON form: dictionaries become objects with keys in the list's order; arrays, strings, integers
 * and booleans map directly; reals too, with infinities and NaN as the strings "inf", "-inf" and
 * "nan"; a date becomes {"$date": "YYYY-MM-DDTHH:MM:SSZ"}, data {"$data": "<base64>"}, a UID
 * {"CF$UID": n}. The output ends with a newline. */
BRACKWATER_API int BrackwaterPlistConvert(const char* path, const char* format, const char* codec,
                                          BwOutputSink sink, void* context, char* error,
                                          size_t errorSize);

/* Lists the records of a backup manifest, one line per record in file order, each ending in a
 * newline. `path` is a backup folder or its "Manifest.mbdb". With `json` non-zero each line is a
 * JSON object with the keys domain, path, target, hash, key, mode, inode, uid, gid, mtime, atime,
 * ctime, size, protection, properties, file and exists; otherwise a table row:
 * file name, mode, size, domain and path (and " -> target" for links). */
BRACKWATER_API int BrackwaterManifestList(const char* path, int json, BwOutputSink sink,
                                          void* context, char* error, size_t errorSize);

/* Loads a "Manifest.mbdb" and saves it in place; an unchanged manifest saves byte-identical. */
BRACKWATER_API int BrackwaterManifestResave(const char* path, char* error, size_t errorSize);

#ifdef __cplusplus
}
#endif

#endif
