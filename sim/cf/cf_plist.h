/* CF values to and from libplist trees, for the simulator's stand-ins that read device images
 * with libplist and hand CF values to the library (and back). */
#ifndef BRACKWATER_SIM_CF_CF_PLIST_H
#define BRACKWATER_SIM_CF_CF_PLIST_H

#include <plist/plist.h>

#include "CoreFoundation.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A new libplist tree with the same values (free it with plist_free), or NULL when the value is
 * not a property list: a type other than string, number, boolean, data, date, array and
 * dictionary; a dictionary key that is not a string; text that UTF-8 cannot carry (unpaired
 * surrogates, U+0000); a date outside the years 1 to 9999 or not finite; containers nested more
 * than 128 deep; or shared containers that would expand beyond 4 million nodes. */
BW_SIM_CF_EXPORT plist_t BwSimCFToPlist(CFTypeRef value);

/* A new CF value (+1) with the same values as the libplist tree, with immutable containers; NULL
 * for an empty node or text that is not UTF-8. Integers become SInt64 numbers (libplist hands out
 * 64 bits without their sign, which we read as signed), reals Float64 numbers, and a UID the
 * dictionary {"CF$UID": n}, the way XML property lists spell keyed-archive references. */
BW_SIM_CF_EXPORT CFTypeRef BwSimCFFromPlist(plist_t node);

/* The same, with kCFPropertyListMutableContainers (arrays and dictionaries mutable) or
 * kCFPropertyListMutableContainersAndLeaves (data objects mutable as well). */
BW_SIM_CF_EXPORT CFTypeRef BwSimCFFromPlistWithOptions(plist_t node, CFOptionFlags mutability);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_CF_CF_PLIST_H */
