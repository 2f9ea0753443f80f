// AFC connections and the host-side objects made through them: open files, directory listings
// and key-value iterators.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "MobileDevice.h"
#include "connection.h"
#include "handle_table.h"
#include "platform/unique_fd.h"

namespace bw::sim::md {

using platform::UniqueFd;

struct OpenFile {
    explicit OpenFile(UniqueFd fd) : fd(std::move(fd)) {}
    UniqueFd fd;
};

class AfcConnection {
  public:
    AfcConnection(Holding holding, UniqueFd root)
        : channel_(holding.channel), holding_(std::move(holding)), root_(std::move(root)) {}

    Channel& channel() const { return *channel_; }
    int root() const { return root_.get(); }

    // 0 when requests can reach the device: the service connection is open, the device is
    // attached, and a connection that needs a secure context has it.
    int Status() const;
    void SetSecureContext(uintptr_t context) { secureContext_ = context; }

    uint64_t AddFile(UniqueFd fd);
    std::shared_ptr<OpenFile> FindFile(uint64_t file) const;
    bool RemoveFile(uint64_t file);

    // Closes the open files and the service connection, and gives back what was held of it
    // (to be released with no lock held).
    Holding Close();

  private:
    const std::shared_ptr<Channel> channel_;  // stays after Close, for requests still running
    Holding holding_;
    UniqueFd root_;
    std::atomic<uintptr_t> secureContext_{0};
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<OpenFile>> files_;
};

// Name/value text pairs handed out one at a time (file and device information).
struct KeyValues {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t next = 0;
};

// The names of one folder, taken when it was opened, and for a listing opened with information
// each entry's file information taken at the same time.
struct Listing {
    std::mutex mutex;
    AFCConnectionRef connection = nullptr;
    std::string names;             // each name followed by a NUL
    std::vector<uint32_t> starts;  // where each name begins in `names`
    size_t next = 0;
    bool withInformation = false;
    std::string information;              // per entry: pairs as AppendFileInformation lays them out
    std::vector<uint32_t> informationAt;  // where the entry of starts[i] begins in `information`
};

HandleTable<AfcConnection>& AfcConnections();
HandleTable<KeyValues>& KeyValueIterators();
HandleTable<Listing>& Listings();

// The connection behind a handle when requests can go through it; otherwise an AFC status.
int UsableConnection(AFCConnectionRef handle, std::shared_ptr<AfcConnection>& out);

// Appends what AFCFileInfoOpen tells of `name` in the folder `folder` (an empty name: the folder
// itself; a link is described, not followed) as key, NUL, value, NUL and so on, ended by an empty
// key. An AFC status; nothing is appended on failure.
int AppendFileInformation(int folder, const std::string& name, std::string& out);

// Hands out a key-value iterator over `pairs`.
AFCKeyValueRef NewKeyValues(std::vector<std::pair<std::string, std::string>> pairs);

}  // namespace bw::sim::md
