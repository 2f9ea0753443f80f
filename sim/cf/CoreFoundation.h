/* The simulator's CoreFoundation: reference-counted strings, numbers, booleans, data, dates,
 * arrays and dictionaries, and property-list conversion, with the C names and LP64 signatures that
 * callers of the real library use. The mobile device stand-in includes this header to make and
 * read the values it hands out; the library itself only looks the names up at run time.
 *
 * Differences a caller may notice:
 * - Allocator arguments are accepted and ignored.
 * - Calls that crash the real library return a harmless result instead and are counted
 *   (BwSimCFMisuses): NULL or a pointer that is no object where an object is due, an object of
 *   the wrong type, a release or read of an object freed within the last 1024 frees (freed
 *   memory is held back that long; an older one is undefined behaviour, as in the real library),
 *   an index or range outside the value, mutating an immutable object, a negative size.
 * - Mutable containers are not safe for concurrent mutation (neither are the real ones);
 *   reference counts are.
 */
#ifndef BRACKWATER_SIM_CF_COREFOUNDATION_H
#define BRACKWATER_SIM_CF_COREFOUNDATION_H

#include <stdint.h>

#define BW_SIM_CF_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Basic types. */
typedef long CFIndex;
typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint16_t UniChar;
typedef uint32_t CFStringEncoding;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef CFIndex CFNumberType;
typedef CFIndex CFPropertyListFormat;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime; /* seconds since 2001-01-01 00:00:00 UTC */

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

typedef const void* CFTypeRef;
typedef CFTypeRef CFPropertyListRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;
typedef const struct __CFDate* CFDateRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef struct __CFError* CFErrorRef;

enum { kCFNotFound = -1 };

/* CFNumberType */
enum {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16,
    kCFNumberMaxType = 16
};

/* CFStringEncoding: the ones this CoreFoundation converts. */
enum {
    kCFStringEncodingASCII = 0x0600,
    kCFStringEncodingISOLatin1 = 0x0201,
    kCFStringEncodingUnicode = 0x0100,
    kCFStringEncodingUTF16 = 0x0100,
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingUTF16BE = 0x10000100,
    kCFStringEncodingUTF16LE = 0x14000100,
    kCFStringEncodingUTF32 = 0x0c000100,
    kCFStringEncodingUTF32BE = 0x18000100,
    kCFStringEncodingUTF32LE = 0x1c000100
};

/* CFPropertyListFormat and the mutability options of the readers. */
enum {
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};
enum {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2
};
/* CFError codes of the property-list functions. */
enum { kCFPropertyListReadCorruptError = 3840, kCFPropertyListWriteStreamError = 3851 };

/* Container callbacks. A NULL callback struct, or a NULL member, means: no retain, no release,
 * pointer equality, the pointer as hash. */
typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);

typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
    CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;

typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);

typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    CFArrayCopyDescriptionCallBack copyDescription;
    CFArrayEqualCallBack equal;
} CFArrayCallBacks;

/* Data symbols. */
BW_SIM_CF_EXPORT extern const CFAllocatorRef kCFAllocatorDefault; /* NULL */
BW_SIM_CF_EXPORT extern const CFBooleanRef kCFBooleanTrue;
BW_SIM_CF_EXPORT extern const CFBooleanRef kCFBooleanFalse;
BW_SIM_CF_EXPORT extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
BW_SIM_CF_EXPORT extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
BW_SIM_CF_EXPORT extern const CFArrayCallBacks kCFTypeArrayCallBacks;

/* Any object. Create and Copy functions return +1, Get functions +0. */
BW_SIM_CF_EXPORT CFTypeRef CFRetain(CFTypeRef cf);
BW_SIM_CF_EXPORT void CFRelease(CFTypeRef cf);
BW_SIM_CF_EXPORT CFIndex CFGetRetainCount(CFTypeRef cf);
BW_SIM_CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);
BW_SIM_CF_EXPORT Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
BW_SIM_CF_EXPORT CFHashCode CFHash(CFTypeRef cf);
BW_SIM_CF_EXPORT CFStringRef CFCopyDescription(CFTypeRef cf);

/* Strings: UTF-16 code units. */
BW_SIM_CF_EXPORT CFTypeID CFStringGetTypeID(void);
BW_SIM_CF_EXPORT CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc,
                                                          const UniChar* chars, CFIndex numChars);
BW_SIM_CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                       CFStringEncoding encoding);
BW_SIM_CF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes,
                                                     CFIndex numBytes, CFStringEncoding encoding,
                                                     Boolean isExternalRepresentation);
BW_SIM_CF_EXPORT CFIndex CFStringGetLength(CFStringRef theString);
BW_SIM_CF_EXPORT void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
BW_SIM_CF_EXPORT Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                            CFStringEncoding encoding);
BW_SIM_CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length,
                                                           CFStringEncoding encoding);

/* Numbers and booleans. */
BW_SIM_CF_EXPORT CFTypeID CFNumberGetTypeID(void);
BW_SIM_CF_EXPORT CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType,
                                            const void* valuePtr);
BW_SIM_CF_EXPORT CFNumberType CFNumberGetType(CFNumberRef number);
BW_SIM_CF_EXPORT CFIndex CFNumberGetByteSize(CFNumberRef number);
BW_SIM_CF_EXPORT Boolean CFNumberIsFloatType(CFNumberRef number);
BW_SIM_CF_EXPORT Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
BW_SIM_CF_EXPORT CFTypeID CFBooleanGetTypeID(void);
BW_SIM_CF_EXPORT Boolean CFBooleanGetValue(CFBooleanRef boolean);

/* Data. */
BW_SIM_CF_EXPORT CFTypeID CFDataGetTypeID(void);
BW_SIM_CF_EXPORT CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
BW_SIM_CF_EXPORT CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
BW_SIM_CF_EXPORT CFIndex CFDataGetLength(CFDataRef theData);
BW_SIM_CF_EXPORT const UInt8* CFDataGetBytePtr(CFDataRef theData);
BW_SIM_CF_EXPORT UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);
BW_SIM_CF_EXPORT void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes,
                                        CFIndex length);

/* Dates. */
BW_SIM_CF_EXPORT CFTypeID CFDateGetTypeID(void);
BW_SIM_CF_EXPORT CFDateRef CFDateCreate(CFAllocatorRef alloc, CFAbsoluteTime at);
BW_SIM_CF_EXPORT CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);

/* Arrays. */
BW_SIM_CF_EXPORT CFTypeID CFArrayGetTypeID(void);
BW_SIM_CF_EXPORT CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values,
                                          CFIndex numValues, const CFArrayCallBacks* callBacks);
BW_SIM_CF_EXPORT CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                                        const CFArrayCallBacks* callBacks);
BW_SIM_CF_EXPORT CFIndex CFArrayGetCount(CFArrayRef theArray);
BW_SIM_CF_EXPORT const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
BW_SIM_CF_EXPORT void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value);

/* Dictionaries. */
BW_SIM_CF_EXPORT CFTypeID CFDictionaryGetTypeID(void);
BW_SIM_CF_EXPORT CFDictionaryRef CFDictionaryCreate(
    CFAllocatorRef alloc, const void** keys, const void** values, CFIndex numValues,
    const CFDictionaryKeyCallBacks* keyCallBacks, const CFDictionaryValueCallBacks* valueCallBacks);
BW_SIM_CF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef alloc, CFIndex capacity, const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
BW_SIM_CF_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);
BW_SIM_CF_EXPORT Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key);
BW_SIM_CF_EXPORT const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
BW_SIM_CF_EXPORT void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys,
                                                   const void** values);
BW_SIM_CF_EXPORT void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key,
                                           const void* value);
BW_SIM_CF_EXPORT void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key,
                                           const void* value);
BW_SIM_CF_EXPORT void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key);

/* Errors (made by the property-list functions). */
BW_SIM_CF_EXPORT CFTypeID CFErrorGetTypeID(void);
BW_SIM_CF_EXPORT CFIndex CFErrorGetCode(CFErrorRef err);
BW_SIM_CF_EXPORT CFStringRef CFErrorCopyDescription(CFErrorRef err);

/* Property lists, XML and binary ("bplist00"). The readers detect the format themselves. */
BW_SIM_CF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef alloc,
                                                    CFPropertyListRef propertyList,
                                                    CFPropertyListFormat format,
                                                    CFOptionFlags options, CFErrorRef* error);
BW_SIM_CF_EXPORT CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc,
                                                       CFPropertyListRef propertyList);
BW_SIM_CF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef alloc,
                                                                CFDataRef data,
                                                                CFOptionFlags options,
                                                                CFPropertyListFormat* format,
                                                                CFErrorRef* error);
BW_SIM_CF_EXPORT CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef alloc,
                                                                   CFDataRef xmlData,
                                                                   CFOptionFlags mutabilityOption,
                                                                   CFStringRef* errorString);

/* Counters for tests. kCFBooleanTrue and kCFBooleanFalse live for ever and are not counted. */
BW_SIM_CF_EXPORT long BwSimCFLiveObjects(void);
BW_SIM_CF_EXPORT long BwSimCFLiveObjectsOfType(CFTypeID type);
BW_SIM_CF_EXPORT long BwSimCFTotalCreated(void);
BW_SIM_CF_EXPORT long BwSimCFMisuses(void);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_CF_COREFOUNDATION_H */
