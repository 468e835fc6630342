#pragma once

// A process-wide request to stop, for the few waits that block the loop (a fax client
// that runs): the signal handler sets it at once, long before the loop would turn to
// deliver the signal, and such a wait polls it and gives up. Safe to set from a signal
// handler.

namespace cancel_request {

void Set();
bool IsSet();
// A new run starts with no request.
void Clear();

}  // namespace cancel_request
