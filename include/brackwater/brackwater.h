/* Brackwater: the exported functions of libbrackwater.so. */
#ifndef BRACKWATER_BRACKWATER_H
#define BRACKWATER_BRACKWATER_H

#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define BRACKWATER_API __attribute__((visibility("default")))

/* Host interface text is UTF-16. */
typedef char16_t BwChar;
#ifdef __cplusplus
static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#else
_Static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#endif

/* The library's version as "major.minor.patch". */
BRACKWATER_API const char* BrackwaterVersion(void);

#ifdef __cplusplus
}
#endif

#include "brackwater/inspect.h"

#endif
