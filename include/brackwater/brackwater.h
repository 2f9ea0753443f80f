/* Brackwater: the exported functions of libbrackwater.so. */
#ifndef BRACKWATER_BRACKWATER_H
#define BRACKWATER_BRACKWATER_H

#ifdef __cplusplus
extern "C" {
#endif

#define BRACKWATER_API __attribute__((visibility("default")))

/* Host interface text is UTF-16. */
typedef char16_t BwChar;

/* The library's version as "major.minor.patch". */
BRACKWATER_API const char* BrackwaterVersion(void);

#ifdef __cplusplus
}
#endif

#endif
