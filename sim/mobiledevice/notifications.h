// The simulator's notification thread: device arrivals and removals for the subscriptions of
// AMDeviceNotificationSubscribe, the restore-mode callbacks, and tasks other parts queue (the
// notification proxy's relays). One thread delivers everything, in order, one callback at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "MobileDevice.h"

namespace bw::sim::md {

class Device;

inline constexpr uint32_t kDeviceArrived = 1;
inline constexpr uint32_t kDeviceLeft = 2;

// With DeviceMutex held, so that events queue in the order devices arrive and leave: queues
// `message` about `device` for every subscription.
void QueueDeviceEvent(Device* device, uint32_t message);

// With DeviceMutex held: a new subscription, told first about every device in `attached`.
int Subscribe(am_device_notification_callback callback, void* context,
              const std::vector<Device*>& attached, AMDeviceNotificationRef* out);
// Ends a subscription; a callback to it that is running finishes first (unless it is the caller).
int Unsubscribe(AMDeviceNotificationRef subscription);

unsigned int RegisterRestoreCallbacks(const am_restore_device_callback callbacks[4],
                                      void* userInfo);
bool FireRestoreCallback(int index);

// Runs `task` on the notification thread after everything queued before it.
void QueueTask(std::function<void()> task);

// True once the queue is empty and no callback runs; false after `timeoutMs` or when called on
// the notification thread.
bool WaitUntilDelivered(int timeoutMs);

}  // namespace bw::sim::md
