#pragma once

// The user's session bus, found without starting one: with no address the bus library
// would start a bus of its own (autolaunch, e.g. over ssh -X), which a program run from a
// terminal or a service manager must never get.

#include <string>

// The address the session gave (DBUS_SESSION_BUS_ADDRESS), else the user's bus socket
// ($XDG_RUNTIME_DIR/bus) as "unix:path=..."; empty when there is neither. *fromEnvironment
// tells which of the two it is.
std::string SessionBusAddress(bool* fromEnvironment = nullptr);
