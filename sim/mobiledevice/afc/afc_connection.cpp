// AFC connections: opening one on a service connection, the secure context, closing.
#include "afc/afc_connection.h"

#include "counters.h"
#include "device.h"
#include "failures.h"
#include "status.h"

namespace bw::sim::md {
namespace {

constexpr uintptr_t kConnectionBase = 0xafc0'0000'0000;
constexpr uintptr_t kKeyValueBase = 0x4b56'0000'0000;
constexpr uintptr_t kListingBase = 0xd1e0'0000'0000;

// File references are numbers shared by all connections, never 0 and never reused.
std::atomic<uint64_t> g_lastFile{0};

}  // namespace

int AfcConnection::Status() const {
    const Channel& service = channel();
    if (!service.IsOpen()) return kAfcNotConnected;
    if (service.secureContext() != 0 && secureContext_.load() != service.secureContext())
        return kAfcNotConnected;
    return kAfcSuccess;
}

uint64_t AfcConnection::AddFile(UniqueFd fd) {
    auto file = std::make_shared<OpenFile>(std::move(fd));
    const uint64_t reference = ++g_lastFile;
    std::lock_guard<std::mutex> lock(mutex_);
    files_.emplace(reference, std::move(file));
    ++GlobalCounters().afcFiles;
    return reference;
}

std::shared_ptr<OpenFile> AfcConnection::FindFile(uint64_t file) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = files_.find(file);
    return found != files_.end() ? found->second : nullptr;
}

bool AfcConnection::RemoveFile(uint64_t file) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.erase(file) == 0) return false;
    --GlobalCounters().afcFiles;
    return true;
}

Holding AfcConnection::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        GlobalCounters().afcFiles -= static_cast<long>(files_.size());
        files_.clear();
    }
    channel_->Close();
    return std::move(holding_);
}

HandleTable<AfcConnection>& AfcConnections() {
    static auto* table = new HandleTable<AfcConnection>(kConnectionBase);
    return *table;
}

HandleTable<KeyValues>& KeyValueIterators() {
    static auto* table = new HandleTable<KeyValues>(kKeyValueBase);
    return *table;
}

HandleTable<Listing>& Listings() {
    static auto* table = new HandleTable<Listing>(kListingBase);
    return *table;
}

int UsableConnection(AFCConnectionRef handle, std::shared_ptr<AfcConnection>& out) {
    out = AfcConnections().Find(handle);
    if (out == nullptr) return kAfcInvalidArgument;
    return out->Status();
}

AFCKeyValueRef NewKeyValues(std::vector<std::pair<std::string, std::string>> pairs) {
    auto values = std::make_shared<KeyValues>();
    values->pairs = std::move(pairs);
    ++GlobalCounters().keyValueIterators;
    return reinterpret_cast<AFCKeyValueRef>(KeyValueIterators().Add(std::move(values)));
}

}  // namespace bw::sim::md

using namespace bw::sim::md;

extern "C" {

int AFCConnectionOpen(const void* socketOrConnection, unsigned int, AFCConnectionRef* out) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (out == nullptr) return kAfcInvalidArgument;
    Holding holding = HoldConnection(socketOrConnection);
    if (holding.channel == nullptr) return kAfcInvalidArgument;
    const Service& service = holding.channel->service();
    int status = service.AfcRoot().empty()    ? kAfcInvalidArgument
                 : !holding.channel->IsOpen() ? kAfcNotConnected
                                              : kAfcSuccess;
    UniqueFd rootFd;
    if (status == kAfcSuccess) {
        // A root that is missing, or that a link stands for, serves nothing.
        rootFd = UniqueFd(service.OpenAfcRoot());
        if (!rootFd.valid()) status = kAfcNotFound;
    }
    if (status != kAfcSuccess) {
        holding.Release();
        return status;
    }
    auto connection = std::make_shared<AfcConnection>(std::move(holding), std::move(rootFd));
    ++GlobalCounters().afcConnections;
    *out = reinterpret_cast<AFCConnectionRef>(AfcConnections().Add(std::move(connection)));
    return kAfcSuccess;
}

void AFCConnectionSetSecureContext(AFCConnectionRef connection, void* secureContext) {
    if (TakeFailure(__func__)) return;
    if (const auto found = AfcConnections().Find(connection))
        found->SetSecureContext(reinterpret_cast<uintptr_t>(secureContext));
}

int AFCConnectionClose(AFCConnectionRef connection) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    const std::shared_ptr<AfcConnection> found = AfcConnections().Remove(connection);
    if (found == nullptr) return kAfcInvalidArgument;
    --GlobalCounters().afcConnections;
    found->Close().Release();
    return kAfcSuccess;
}

}  // extern "C"
