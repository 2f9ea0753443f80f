/* What every public header shares: the export attribute, the host's text type and its rules, and
 * the functions every host needs (the version and the last error). Hosts include
 * brackwater/brackwater.h, or any one header on its own; each brings this one. */
#ifndef BRACKWATER_BASE_H
#define BRACKWATER_BASE_H

#include <stddef.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifndef BRACKWATER_API
#define BRACKWATER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Host text. Every text that the host and the Brackwater functions and callbacks pass to each
 * other (paths, folders, names, keys, format words, messages, dates, versions) is BwChar: UTF-16,
 * zero-terminated. A function that gives text back takes a `BwChar* buffer` and is called twice:
 * with a null buffer it writes nothing and returns the text's length in characters plus 2; with a
 * buffer of at least that many characters it copies the text and its terminating zero and returns
 * the same number. Byte streams (BwOutputSink) are bytes, not host text.
 *
 * Errors. A Brackwater function that fails leaves a one-line message for BrackwaterLastError on
 * the calling thread; one that succeeds, or fails without a message, leaves it empty. */
typedef char16_t BwChar;
#ifdef __cplusplus
static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#else
_Static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#endif

/* The library's version as "major.minor.patch", by the two-call rule. */
BRACKWATER_API size_t BrackwaterVersion(BwChar* buffer);
/* The message of the last Brackwater function called on this thread, by the two-call rule (2 and
 * an empty text when that call succeeded or set no message). Reading it does not clear it. */
BRACKWATER_API size_t BrackwaterLastError(BwChar* buffer);

#ifdef __cplusplus
}
#endif

#endif
