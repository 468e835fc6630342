#include "platform/SessionBus.h"

#include <sys/stat.h>

#include <cstdlib>

std::string SessionBusAddress(bool* fromEnvironment) {
    if (fromEnvironment) *fromEnvironment = false;
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) {
        if (fromEnvironment) *fromEnvironment = true;
        return address;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return {};
    std::string bus = std::string(runtime) + "/bus";
    struct stat st {};
    if (::stat(bus.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
    return "unix:path=" + bus;
}
