// BaseService: the base of the service wrappers. It holds one service connection and exchanges
// framed messages on it: a 4-byte big-endian length, then a binary property list.
#pragma once

#include <cstdint>

#include "device/runtime_types.h"

namespace bw {

class CDicValueObj;

// Replies larger than this are refused before anything is allocated; the largest real ones (icon
// images, screenshots) are a few megabytes.
inline constexpr uint32_t kMaxServiceMessageBytes = 64u << 20;

class BaseService {
  public:
    explicit BaseService(rt::AMDServiceConnectionRef connection = nullptr)
        : connection_(connection) {}
    virtual ~BaseService() = default;

    // False for an empty message, a message that cannot be written, or a short send.
    bool Send(const CDicValueObj& message);
    // The length in one receive, the body in one more; false unless both read exactly the sizes
    // asked for and the body is a property list.
    bool Receive(CDicValueObj& reply);

    rt::AMDServiceConnectionRef connection() const { return connection_; }
    void set_connection(rt::AMDServiceConnectionRef connection) { connection_ = connection; }

    static bool SendMessage(rt::AMDServiceConnectionRef connection, const CDicValueObj& message);
    static bool ReceiveMessage(rt::AMDServiceConnectionRef connection, CDicValueObj& reply);

  protected:
    rt::AMDServiceConnectionRef connection_;
};

}  // namespace bw
