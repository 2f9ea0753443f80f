// Named message pipes between two local processes, as a message-mode Windows named pipe offers
// them: a server creates a name and waits for one client, then both ends exchange whole messages
// whose boundaries survive the transport.
//
// On POSIX a name is a SOCK_SEQPACKET Unix socket in a private per-user folder (see
// PipeSocketPath). Messages larger than one socket packet are carried in several packets and put
// together again by the reader, so a message may be as large as kMaxPipeMessage.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace bw::platform {

// A reader refuses (and discards) messages larger than this, so a hostile peer cannot make it
// allocate without bound.
inline constexpr size_t kMaxPipeMessage = 64 * 1024 * 1024;

// Wait without a time limit.
inline constexpr int kWaitForever = -1;

// The socket file that stands for a pipe name. "\\.\pipe\MobileBackUp" and "MobileBackUp" name
// the same pipe, and letter case does not matter, as on Windows. The folder is
// $BRACKWATER_RUNTIME_DIR when set (tests point it into their own folder), else
// $XDG_RUNTIME_DIR/brackwater, else <temp>/brackwater-<uid>; it is created with mode 0700.
// Empty when the name is empty or names nothing after the prefix.
std::string PipeSocketPath(std::string_view pipeName);

// One connected end of a pipe. Not thread-safe for two concurrent readers or two concurrent
// writers; one reader and one writer on different threads are fine.
class PipeConnection {
  public:
    explicit PipeConnection(UniqueFd socket) : socket_(std::move(socket)) {}
    ~PipeConnection();
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;

    // The next whole message. nullopt when the peer has gone, the time ran out, or the message
    // is larger than kMaxPipeMessage (it is skipped, and the connection stays usable). An empty
    // message reads as an empty string, never as the end.
    std::optional<std::string> Read(int timeoutMs = kWaitForever);
    // Sends one message; false when the peer has gone.
    bool Write(std::string_view message);
    void Close();
    bool IsOpen() const { return socket_.valid(); }

  private:
    UniqueFd socket_;
    // A message whose pieces have only partly arrived when a read timed out; the next read goes
    // on with it, so a time-out never splits a message in two.
    std::string partial_;
    bool skipping_ = false;  // the message being read is too large and is being discarded
};

class PipeServer {
  public:
    // Creates the pipe. Null (with `error`) when the name is unusable or another live server,
    // in this process or another, holds it; a socket left behind by a server that died is
    // replaced.
    static std::unique_ptr<PipeServer> Create(std::string_view pipeName, std::string& error);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Waits for a client to connect and keeps its connection (an earlier one is closed). False
    // on time-out or when the pipe was closed.
    bool WaitForClient(int timeoutMs = kWaitForever);
    // The current client's messages; nullopt / false without a client (see PipeConnection).
    std::optional<std::string> Read(int timeoutMs = kWaitForever);
    bool Write(std::string_view message);
    // Ends the current client's connection; the pipe stays open for the next client.
    void Disconnect();
    // Ends the connection and removes the name; later calls fail.
    void Close();

    const std::string& SocketPath() const { return path_; }

  private:
    PipeServer() = default;

    std::string path_;
    UniqueFd listener_;
    UniqueFd lock_;
    unsigned long inode_ = 0;  // of our socket file, so Close never removes a successor's
    std::unique_ptr<PipeConnection> client_;
};

// Connects to a server's pipe, retrying while the name does not exist yet or its server is not
// listening, for up to timeoutMs. Null (with `error`) when no server accepted in time.
std::unique_ptr<PipeConnection> ConnectPipe(std::string_view pipeName, int timeoutMs,
                                            std::string& error);

// Waits up to timeoutMs for a live server of that name to exist (as WaitNamedPipeW does) without
// connecting to it. True as soon as one does.
bool WaitForPipe(std::string_view pipeName, int timeoutMs);

}  // namespace bw::platform
