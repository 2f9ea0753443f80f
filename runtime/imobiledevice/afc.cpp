// AFC over a service link: files, folders and information of the phone's file system, through
// libimobiledevice's AFC client. Connections, folder listings and key-value lists are objects of
// this runtime, found in tables before use, so a stale or foreign reference fails cleanly.
#include <libimobiledevice/afc.h>

#include <cstring>
#include <map>
#include <vector>

#include "cf_bridge.h"
#include "links.h"
#include "mapping.h"
#include "status.h"

namespace bw::imd {
namespace {

constexpr size_t kMaxPathBytes = 4096;

struct AfcConnection {
    std::shared_ptr<Link> link;
    afc_client_t client = nullptr;
    CFTypeRef ownedHandle = nullptr;  // the service connection object the caller handed over
};

struct Listing {
    AfcConnection* connection = nullptr;
    std::vector<std::string> names;
    size_t next = 0;
};

struct KeyValues {
    KeyValueList pairs;
    size_t next = 0;
};

struct AfcTables {
    std::mutex mutex;
    std::map<const void*, std::shared_ptr<AfcConnection>> connections;
    std::map<const void*, std::unique_ptr<Listing>> listings;
    std::map<const void*, std::unique_ptr<KeyValues>> keyValues;
};

AfcTables& Tables() {
    static AfcTables* tables = new AfcTables;
    return *tables;
}

std::shared_ptr<AfcConnection> FindConnection(AFCConnectionRef reference) {
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    const auto found = tables.connections.find(reference);
    return found != tables.connections.end() ? found->second : nullptr;
}

bool ValidPath(const char* path) {
    if (path == nullptr) return false;
    const size_t length = strnlen(path, kMaxPathBytes + 1);
    return length > 0 && length <= kMaxPathBytes && IsUtf8(std::string(path, length));
}

// Runs `operation` with the connection's client while its link cannot be closed under it.
template <typename Operation>
int WithClient(AFCConnectionRef reference, Operation operation) {
    const std::shared_ptr<AfcConnection> connection = FindConnection(reference);
    if (!connection) return kAfcInvalidArgument;
    std::shared_lock<std::shared_mutex> lock(connection->link->clients());
    if (!connection->link->usable()) return kAfcNotConnected;
    return operation(connection->client);
}

int StoreKeyValues(char** list, afc_error_t error, AFCKeyValueRef* out) {
    std::optional<KeyValueList> pairs;
    if (error == AFC_E_SUCCESS) pairs = TakeKeyValueList(list);
    if (list != nullptr) afc_dictionary_free(list);
    if (error != AFC_E_SUCCESS) return AfcFromClient(error);
    if (!pairs) return kAfcReadError;
    auto values = std::make_unique<KeyValues>();
    values->pairs = std::move(*pairs);
    *out = reinterpret_cast<AFCKeyValueRef>(values.get());
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.keyValues[values.get()] = std::move(values);
    return kAfcSuccess;
}

uint32_t ReadLow32(const size_t* value) {
    uint32_t low = 0;
    std::memcpy(&low, value, sizeof low);
    return low;
}

// Callers declare the length as 32 or 64 bits; only the low half is written, which holds the
// whole count on this little-endian ABI.
void WriteLow32(size_t* value, uint32_t low) {
    std::memcpy(value, &low, sizeof low);
}

}  // namespace
}  // namespace bw::imd

using namespace bw::imd;

BW_IMD_EXPORT int AFCConnectionOpen(ServiceHandle handle, unsigned int, AFCConnectionRef* out) {
    if (out == nullptr) return kAfcInvalidArgument;
    *out = nullptr;
    auto connection = std::make_shared<AfcConnection>();
    if (std::shared_ptr<Link> link = LinkOfConnection(handle)) {
        connection->link = std::move(link);
        connection->ownedHandle = handle;
    } else {
        connection->link = LinkOfNumber(reinterpret_cast<intptr_t>(handle));
    }
    if (!connection->link) return kAfcInvalidArgument;
    if (!connection->link->usable()) return kAfcNotConnected;
    connection->client = connection->link->OpenAfc();
    if (connection->client == nullptr) return kAfcNotConnected;
    // From here the AFC connection owns the handle (or the link behind the number).
    *out = reinterpret_cast<AFCConnectionRef>(connection.get());
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.connections[connection.get()] = connection;
    return kAfcSuccess;
}

BW_IMD_EXPORT void AFCConnectionSetSecureContext(AFCConnectionRef, void*) {
    // The link encrypts itself when the phone asked for it; nothing to attach.
}

BW_IMD_EXPORT int AFCConnectionClose(AFCConnectionRef reference) {
    std::shared_ptr<AfcConnection> connection;
    {
        AfcTables& tables = Tables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        const auto found = tables.connections.find(reference);
        if (found == tables.connections.end()) return kAfcInvalidArgument;
        connection = std::move(found->second);
        tables.connections.erase(found);
        std::erase_if(tables.listings, [&](const auto& entry) {
            return entry.second->connection == connection.get();
        });
    }
    connection->link->Invalidate();
    if (connection->ownedHandle != nullptr) CFRelease(connection->ownedHandle);
    return kAfcSuccess;
}

BW_IMD_EXPORT int AFCDeviceInfoOpen(AFCConnectionRef reference, AFCKeyValueRef* out) {
    if (out == nullptr) return kAfcInvalidArgument;
    *out = nullptr;
    return WithClient(reference, [&](afc_client_t client) {
        char** list = nullptr;
        const afc_error_t error = afc_get_device_info(client, &list);
        return StoreKeyValues(list, error, out);
    });
}

BW_IMD_EXPORT int AFCFileInfoOpen(AFCConnectionRef reference, const char* path,
                                  AFCKeyValueRef* out) {
    if (out == nullptr || !ValidPath(path)) return kAfcInvalidArgument;
    *out = nullptr;
    return WithClient(reference, [&](afc_client_t client) {
        char** list = nullptr;
        const afc_error_t error = afc_get_file_info(client, path, &list);
        return StoreKeyValues(list, error, out);
    });
}

BW_IMD_EXPORT int AFCKeyValueRead(AFCKeyValueRef reference, char** key, char** value) {
    if (key == nullptr || value == nullptr) return kAfcInvalidArgument;
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    const auto found = tables.keyValues.find(reference);
    if (found == tables.keyValues.end()) return kAfcInvalidArgument;
    KeyValues& values = *found->second;
    if (values.next >= values.pairs.size()) {
        *key = nullptr;
        *value = nullptr;
        return kAfcSuccess;
    }
    auto& [name, text] = values.pairs[values.next++];
    *key = name.data();
    *value = text.data();
    return kAfcSuccess;
}

BW_IMD_EXPORT int AFCKeyValueClose(AFCKeyValueRef reference) {
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    return tables.keyValues.erase(reference) != 0 ? kAfcSuccess : kAfcInvalidArgument;
}

BW_IMD_EXPORT int AFCDirectoryOpen(AFCConnectionRef reference, const char* path,
                                   AFCDirectoryRef* out) {
    if (out == nullptr || !ValidPath(path)) return kAfcInvalidArgument;
    *out = nullptr;
    const std::shared_ptr<AfcConnection> connection = FindConnection(reference);
    std::vector<std::string> names;
    const int status = WithClient(reference, [&](afc_client_t client) {
        char** list = nullptr;
        const afc_error_t error = afc_read_directory(client, path, &list);
        if (error == AFC_E_SUCCESS) names = TakeDirectoryNames(list);
        if (list != nullptr) afc_dictionary_free(list);
        return AfcFromClient(error);
    });
    if (status != kAfcSuccess) return status;
    auto listing = std::make_unique<Listing>();
    listing->connection = connection.get();
    listing->names = std::move(names);
    *out = reinterpret_cast<AFCDirectoryRef>(listing.get());
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.listings[listing.get()] = std::move(listing);
    return kAfcSuccess;
}

BW_IMD_EXPORT int AFCDirectoryRead(AFCConnectionRef reference, AFCDirectoryRef directory,
                                   char** name) {
    if (name == nullptr) return kAfcInvalidArgument;
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    const auto found = tables.listings.find(directory);
    if (found == tables.listings.end() ||
        found->second->connection != reinterpret_cast<AfcConnection*>(reference)) {
        return kAfcInvalidArgument;
    }
    Listing& listing = *found->second;
    *name = listing.next < listing.names.size() ? listing.names[listing.next++].data() : nullptr;
    return kAfcSuccess;
}

BW_IMD_EXPORT int AFCDirectoryClose(AFCConnectionRef reference, AFCDirectoryRef directory) {
    AfcTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    const auto found = tables.listings.find(directory);
    if (found == tables.listings.end() ||
        found->second->connection != reinterpret_cast<AfcConnection*>(reference)) {
        return kAfcInvalidArgument;
    }
    tables.listings.erase(found);
    return kAfcSuccess;
}

BW_IMD_EXPORT int AFCDirectoryCreate(AFCConnectionRef reference, const char* path) {
    if (!ValidPath(path)) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_make_directory(client, path));
    });
}

BW_IMD_EXPORT int AFCRemovePath(AFCConnectionRef reference, const char* path) {
    if (!ValidPath(path)) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_remove_path(client, path));
    });
}

BW_IMD_EXPORT int AFCRenamePath(AFCConnectionRef reference, const char* from, const char* to) {
    if (!ValidPath(from) || !ValidPath(to)) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_rename_path(client, from, to));
    });
}

BW_IMD_EXPORT int AFCFileRefOpen(AFCConnectionRef reference, const char* path, uint64_t mode,
                                 AFCFileRef* out) {
    const std::optional<afc_file_mode_t> fileMode = AfcModeFromCaller(mode);
    if (out == nullptr || !fileMode || !ValidPath(path)) return kAfcInvalidArgument;
    *out = 0;
    return WithClient(reference, [&](afc_client_t client) {
        uint64_t handle = 0;
        const afc_error_t error = afc_file_open(client, path, *fileMode, &handle);
        if (error == AFC_E_SUCCESS) *out = handle;
        return AfcFromClient(error);
    });
}

BW_IMD_EXPORT int AFCFileRefClose(AFCConnectionRef reference, AFCFileRef file) {
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_file_close(client, file));
    });
}

BW_IMD_EXPORT int AFCFileRefRead(AFCConnectionRef reference, AFCFileRef file, void* buffer,
                                 size_t* inOutLength) {
    if (inOutLength == nullptr) return kAfcInvalidArgument;
    const uint32_t wanted = ReadLow32(inOutLength);
    if (buffer == nullptr && wanted > 0) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        auto* bytes = static_cast<char*>(buffer);
        uint32_t done = 0;
        while (done < wanted) {
            uint32_t got = 0;
            const afc_error_t error =
                afc_file_read(client, file, bytes + done, wanted - done, &got);
            if (error != AFC_E_SUCCESS) {
                if (done > 0) break;
                return AfcFromClient(error);
            }
            if (got == 0) break;
            done += std::min(got, wanted - done);
        }
        WriteLow32(inOutLength, done);
        return kAfcSuccess;
    });
}

BW_IMD_EXPORT int AFCFileRefWrite(AFCConnectionRef reference, AFCFileRef file, const void* buffer,
                                  size_t length) {
    const auto wanted = static_cast<uint32_t>(length);
    if (buffer == nullptr && wanted > 0) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        const auto* bytes = static_cast<const char*>(buffer);
        uint32_t done = 0;
        while (done < wanted) {
            uint32_t written = 0;
            const afc_error_t error =
                afc_file_write(client, file, bytes + done, wanted - done, &written);
            if (error != AFC_E_SUCCESS) return AfcFromClient(error);
            if (written == 0) return kAfcWriteError;
            done += std::min(written, wanted - done);
        }
        return kAfcSuccess;
    });
}

BW_IMD_EXPORT int AFCFileRefSeek(AFCConnectionRef reference, AFCFileRef file, int64_t offset,
                                 uint64_t whence) {
    const std::optional<int> origin = SeekOriginFromCaller(whence);
    if (!origin) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_file_seek(client, file, offset, *origin));
    });
}

BW_IMD_EXPORT int AFCFileRefTell(AFCConnectionRef reference, AFCFileRef file, uint64_t* position) {
    if (position == nullptr) return kAfcInvalidArgument;
    return WithClient(reference, [&](afc_client_t client) {
        uint64_t at = 0;
        const afc_error_t error = afc_file_tell(client, file, &at);
        if (error == AFC_E_SUCCESS) *position = at;
        return AfcFromClient(error);
    });
}

BW_IMD_EXPORT int AFCFileRefSetFileSize(AFCConnectionRef reference, AFCFileRef file,
                                        uint64_t size) {
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_file_truncate(client, file, size));
    });
}

BW_IMD_EXPORT int AFCFileRefLock(AFCConnectionRef reference, AFCFileRef file, bool exclusive) {
    // Read as one byte: a caller that passes a wider value leaves the rest undefined.
    unsigned char flag = 0;
    std::memcpy(&flag, &exclusive, 1);
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_file_lock(client, file, flag != 0 ? AFC_LOCK_EX : AFC_LOCK_SH));
    });
}

BW_IMD_EXPORT int AFCFileRefUnlock(AFCConnectionRef reference, AFCFileRef file) {
    return WithClient(reference, [&](afc_client_t client) {
        return AfcFromClient(afc_file_lock(client, file, AFC_LOCK_UN));
    });
}

// Every write is answered by the phone before AFCFileRefWrite returns, so nothing is pending.
BW_IMD_EXPORT int AFCFlushData(AFCConnectionRef reference, AFCFileRef) {
    return WithClient(reference, [](afc_client_t) { return kAfcSuccess; });
}
