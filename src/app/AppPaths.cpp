#include "app/AppPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/FileTrust.h"
#include "platform/Registry.h"

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string XdgDir(const char* var, const char* fallbackBelowHome) {
    std::string dir = Env(var);
    if (!dir.empty() && dir[0] == '/') return dir;
    std::string home = Env("HOME");
    if (home.empty()) {
        // Not /tmp: there anyone could have made the folders first, or links in their place.
        const passwd* pw = ::getpwuid(::geteuid());
        home = pw && pw->pw_dir && pw->pw_dir[0] == '/' ? pw->pw_dir : "/tmp";
    }
    return home + "/" + fallbackBelowHome;
}

}  // namespace

std::string AppPaths::DefaultDataDir() {
    std::string dir = Env("QUORVANE_HOME");
    if (!dir.empty()) return dir;
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/quorvane";
}

std::string AppPaths::DefaultRegistryFile() {
    std::string file = Env("QUORVANE_REGISTRY");
    if (!file.empty()) return file;
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/quorvane/registry.db";
}

std::string AppPaths::ConfigHome() {
    return XdgDir("XDG_CONFIG_HOME", ".config");
}

bool EnterDataDir(const std::string& dir, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create the working folder " + dir + ": " + ec.message();
        return false;
    }
    if (::chdir(dir.c_str()) != 0) {
        *error = "cannot enter the working folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    // The folder itself, whatever link led here: another user who can write in it could put
    // mail in the queue or a link in place of the log.
    std::string why;
    if (!filetrust::CheckOwnFolder(".", false, 0, &why)) {
        *error = "the working folder " + dir + " " + why;
        return false;
    }
    if (!filetrust::CheckOwnFolder("Forward", true, 0700, &why)) {
        *error = "the mail queue folder " + dir + "/Forward " + why;
        return false;
    }
    return true;
}

bool OpenSettingsStore(const std::string& path, std::string* error) {
    auto store = Registry::Open(path, error);
    if (!store) return false;
    Registry::SetCurrent(std::move(store));
    return true;
}
