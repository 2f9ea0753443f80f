/* Foreign objects: CF handles whose contents belong to another stand-in library. The mobile
 * device stand-in hands out its service connections this way, because callers release them with
 * CFRelease like any other CF object. */
#ifndef BRACKWATER_SIM_CF_CF_FOREIGN_H
#define BRACKWATER_SIM_CF_CF_FOREIGN_H

#include "CoreFoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new object (+1) carrying `payload`. When its last reference goes, `finalize` (if not NULL)
 * runs with the payload on the releasing thread, after the object stopped being live: the
 * finalizer may release other objects, and must not use this one. NULL when memory runs out. */
BW_SIM_CF_EXPORT CFTypeRef BwSimCFCreateForeign(void* payload, void (*finalize)(void*));

/* The payload of a live foreign object; NULL (and a counted misuse) for anything else. */
BW_SIM_CF_EXPORT void* BwSimCFForeignPayload(CFTypeRef object);

/* The type identifier of foreign objects, for CFGetTypeID comparisons. */
BW_SIM_CF_EXPORT CFTypeID BwSimCFForeignGetTypeID(void);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_CF_CF_FOREIGN_H */
