/* What every public header shares: the export attribute and the host's text type. Hosts include
 * brackwater/brackwater.h, or any one header on its own; each brings this one. */
#ifndef BRACKWATER_BASE_H
#define BRACKWATER_BASE_H

#ifndef __cplusplus
#include <uchar.h>
#endif

#ifndef BRACKWATER_API
#define BRACKWATER_API __attribute__((visibility("default")))
#endif

/* Host interface text is UTF-16. */
typedef char16_t BwChar;
#ifdef __cplusplus
static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#else
_Static_assert(sizeof(BwChar) == 2, "host text is UTF-16");
#endif

#endif
