#include "platform/CancelRequest.h"

#include <atomic>

namespace {

// Lock-free, so a signal handler may set it.
std::atomic<bool> gRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

namespace cancel_request {

void Set() {
    gRequested.store(true, std::memory_order_relaxed);
}

bool IsSet() {
    return gRequested.load(std::memory_order_relaxed);
}

void Clear() {
    gRequested.store(false, std::memory_order_relaxed);
}

}  // namespace cancel_request
