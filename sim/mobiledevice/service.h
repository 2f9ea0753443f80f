// The device side of services, and the registry that finds them by name. A service is one file
// in services/ that registers a factory when the library loads:
//
//   const bool kRegistered = RegisterService("com.apple.example", &StartExample);
//
// AFC services name the host folder they serve; message services answer the property lists a
// host sends with AMDServiceConnectionSend.
#pragma once

#include <plist/plist.h>

#include <memory>
#include <string>
#include <string_view>

namespace bw::sim::md {

class Channel;
class Device;

class Service {
  public:
    virtual ~Service() = default;

    // Called once the channel exists, before the host gets its handle. The channel outlives the
    // service.
    virtual void OnOpen(Channel& channel) { (void)channel; }

    // AFC services: the host folder the service serves. Message services: empty.
    virtual std::string AfcRoot() const { return {}; }

    // AFC services: a descriptor of that folder (the caller owns it), reached without following
    // a link on the way from the image folder; -1 with errno set when that cannot be done.
    virtual int OpenAfcRoot() const { return -1; }

    // Message services: one request from the host, in binary or XML form. Answers go to
    // channel.Reply, preferably in the request's form.
    virtual void OnMessage(Channel& channel, plist_t request, bool binary) {
        (void)channel;
        (void)request;
        (void)binary;
    }
};

struct ServiceStart {
    int status = 0;  // an AMD error when the device refuses the service
    std::unique_ptr<Service> service;
};

// Called with DeviceMutex held, after the session and lock checks.
using ServiceFactory = ServiceStart (*)(Device& device);

bool RegisterService(const char* name, ServiceFactory factory);

// The factory registered under `name`, or null.
ServiceFactory FindServiceFactory(std::string_view name);

// An AFC service over a host folder below the image's fs/: `below` is its path from the image
// folder ("fs/var/mobile/Media"). An image's own folders may be links (a restore, a hand-made
// image), and a root reached through one would serve the host's files, so the root is opened
// one real folder at a time.
class AfcService : public Service {
  public:
    AfcService(std::string imageFolder, std::string below)
        : imageFolder_(std::move(imageFolder)), below_(std::move(below)) {}
    std::string AfcRoot() const override { return imageFolder_ + "/" + below_; }
    int OpenAfcRoot() const override;

  private:
    std::string imageFolder_;
    std::string below_;
};

}  // namespace bw::sim::md
