/* c-host: lists the connected devices and scans the first one for crash logs, from C. Exit
 * status 0 only when a device was found and its scan ran to the end.
 *
 *   cc -std=c11 -o c-host main.c $(pkg-config --cflags --libs brackwater) -lpthread
 *
 * (the Makefile beside this file does that, and adds an RPATH for a prefix off the loader's
 * path). In C the library's interfaces are opaque pointers; their operations are called through
 * the object's table of operations, in the slot order that brackwater/device.h, scan.h and
 * device_info.h declare them (the C++ ABI of the platform: the object's first word points at
 * slot 0). */
#include <brackwater/brackwater.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

/* An interface object as C sees it: its first word points at its operations. */
typedef void (*Operation)(void);
typedef struct Interface {
    const Operation* slots;
} Interface;

static Operation Slot(void* object, int slot) {
    return ((Interface*)object)->slots[slot];
}

/* IConnectListener */
enum {
    kIsListening = 0,
    kStartListening = 1,
    kStopListening = 2,
    kWaitForDevice = 3,
    kSetCallback = 5
};
/* IScanDevice */
enum { kSetStatusRecord = 0, kStartScan = 2, kGetResult0 = 6, kGetResultCount0 = 7 };
/* IScanFileInfo */
enum { kFileGetPath = 1, kFileGetSize = 2 };

typedef unsigned char (*ByteOperation)(void* self);
typedef void (*PlainOperation)(void* self);
typedef void (*WaitOperation)(void* self, int32_t seconds, CIPhone** device);
typedef void (*SetCallbackOperation)(void* self, DeviceCallback callback, void* context);
typedef void (*StatusOperation)(void* self, BwScanStatus* record);
typedef void (*ScanOperation)(void* self, int32_t type);
typedef void* (*ResultOperation)(void* self, int32_t index);
typedef int32_t (*CountOperation)(void* self);
typedef size_t (*TextOperation)(void* self, BwChar* buffer);
typedef uint64_t (*SizeOperation)(void* self);

/* The devices the listener reported, in arrival order. The callback runs on the runtime's
 * notification thread. */
#define MAX_DEVICES 16
static pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
static CIPhone* gDevices[MAX_DEVICES];
static int gDeviceCount;

static void OnDevice(CIPhone* device, uint32_t message, void* context) {
    (void)context;
    pthread_mutex_lock(&gLock);
    if (message == kDeviceArrived && gDeviceCount < MAX_DEVICES) {
        gDevices[gDeviceCount++] = device;
    } else if (message == kDeviceRemoved) {
        for (int i = 0; i < gDeviceCount; ++i) {
            if (gDevices[i] == device) {
                gDevices[i] = gDevices[--gDeviceCount];
                break;
            }
        }
    }
    pthread_mutex_unlock(&gLock);
}

/* Prints UTF-16 text as UTF-8; a lone surrogate becomes U+FFFD. */
static void PrintText(const BwChar* text) {
    for (size_t i = 0; text[i] != 0; ++i) {
        unsigned long c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            putchar((int)c);
        } else if (c < 0x800) {
            printf("%c%c", (int)(0xC0 | (c >> 6)), (int)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            printf("%c%c%c", (int)(0xE0 | (c >> 12)), (int)(0x80 | ((c >> 6) & 0x3F)),
                   (int)(0x80 | (c & 0x3F)));
        } else {
            printf("%c%c%c%c", (int)(0xF0 | (c >> 18)), (int)(0x80 | ((c >> 12) & 0x3F)),
                   (int)(0x80 | ((c >> 6) & 0x3F)), (int)(0x80 | (c & 0x3F)));
        }
    }
}

/* A lockdown value of the device, by the two-call rule: the first call gives the size, so a value
 * of any length fits. (The information object's own getter copies without a size.) */
static void PrintDeviceValue(IDeviceInfo* info, const BwChar* key) {
    const size_t size = BrackwaterDeviceInfoValue(info, key, NULL);
    if (size == 0) return;
    BwChar* buffer = calloc(size, sizeof *buffer);
    if (buffer == NULL) return;
    if (BrackwaterDeviceInfoValue(info, key, buffer) == size) PrintText(buffer);
    free(buffer);
}

/* Scans the device for crash logs and prints what was found; 1 when the scan ran to the end. */
static int ScanCrashLogs(CIPhone* device) {
    IScanDevice* session = ScanDeviceNew(device);
    if (session == NULL) {
        fprintf(stderr, "c-host: cannot start a scan session\n");
        return 0;
    }
    static BwScanStatus record;
    ((StatusOperation)Slot(session, kSetStatusRecord))(session, &record);
    ((ScanOperation)Slot(session, kStartScan))(session, kJunkCrashLogs); /* blocks */
    const int32_t count = ((CountOperation)Slot(session, kGetResultCount0))(session);
    printf("crash logs: %d found, %llu bytes\n", (int)count,
           (unsigned long long)record.selectedSize);
    for (int32_t i = 0; i < count; ++i) {
        void* file = ((ResultOperation)Slot(session, kGetResult0))(session, i);
        if (file == NULL) continue;
        /* Two calls: the first (null buffer) tells the size in characters. */
        const size_t size = ((TextOperation)Slot(file, kFileGetPath))(file, NULL);
        BwChar* path = calloc(size + 1, sizeof *path);
        if (path == NULL) continue;
        if (size >= 2) ((TextOperation)Slot(file, kFileGetPath))(file, path);
        printf("  %10llu  ", (unsigned long long)((SizeOperation)Slot(file, kFileGetSize))(file));
        PrintText(path);
        printf("\n");
        free(path);
    }
    const int finished = record.finished == 1;
    if (!finished) fprintf(stderr, "c-host: the scan did not finish\n");
    ScanDeviceDelete(session);
    return finished;
}

int main(void) {
    IConnectListener* listener = ConnectListenerNew(0, 1);
    if (listener == NULL) {
        fprintf(stderr, "c-host: cannot create the device listener\n");
        return 1;
    }
    ((SetCallbackOperation)Slot(listener, kSetCallback))(listener, OnDevice, NULL);
    ((PlainOperation)Slot(listener, kStartListening))(listener);
    if (!((ByteOperation)Slot(listener, kIsListening))(listener)) {
        fprintf(stderr, "c-host: cannot listen for devices (is BRACKWATER_REGISTRY set?)\n");
        ConnectListenerDelete();
        return 1;
    }
    CIPhone* first = NULL;
    ((WaitOperation)Slot(listener, kWaitForDevice))(listener, 10, &first);

    pthread_mutex_lock(&gLock);
    CIPhone* devices[MAX_DEVICES];
    const int count = gDeviceCount;
    for (int i = 0; i < count; ++i)
        devices[i] = gDevices[i];
    pthread_mutex_unlock(&gLock);

    printf("devices: %d\n", count);
    for (int i = 0; i < count; ++i) {
        IDeviceInfo* info = CDeviceInfoNew(devices[i]);
        if (info == NULL) continue;
        printf("device: ");
        PrintDeviceValue(info, u"DeviceName");
        printf(" (");
        PrintDeviceValue(info, u"ProductType");
        printf(", iOS ");
        PrintDeviceValue(info, u"ProductVersion");
        printf(") ");
        PrintDeviceValue(info, u"UniqueDeviceID");
        printf("\n");
        CDeviceInfoDelete(info);
    }

    int status = 1;
    if (count == 0) {
        fprintf(stderr, "c-host: no device found\n");
    } else if (ScanCrashLogs(devices[0])) {
        status = 0;
    }
    ((PlainOperation)Slot(listener, kStopListening))(listener);
    ConnectListenerDelete();
    return status;
}
