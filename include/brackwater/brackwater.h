/* Brackwater: the exported functions of libbrackwater.so. This header includes every public
 * header; each of them may also be included on its own. A C host sees the exported functions,
 * records and constants; the interface classes are C++ only (a C host holds them as opaque
 * pointers). The rules for host text and errors are in brackwater/base.h. */
#ifndef BRACKWATER_BRACKWATER_H
#define BRACKWATER_BRACKWATER_H

#include "brackwater/base.h"

#include "brackwater/apps.h"
#include "brackwater/backup.h"
#include "brackwater/deepclean.h"
#include "brackwater/device.h"
#include "brackwater/device_info.h"
#include "brackwater/inspect.h"
#include "brackwater/photo.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"

#endif
