#pragma once

// Where the program keeps its files: the working folder (the activity log, the mail queue,
// group lists) and the settings store.

#include <string>

struct AppPaths {
    std::string dataDir;
    std::string registryFile;

    // --data-dir, else $QUORVANE_HOME, else $XDG_DATA_HOME/quorvane (~/.local/share/quorvane).
    static std::string DefaultDataDir();
    // --registry, else $QUORVANE_REGISTRY, else $XDG_CONFIG_HOME/quorvane/registry.db.
    static std::string DefaultRegistryFile();
    // $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
    static std::string ConfigHome();
};

// Creates the working folder (and its "Forward" folder) when missing and changes into it.
// False with a reason when that fails.
bool EnterDataDir(const std::string& dir, std::string* error);

// Opens the settings store at path and makes it the one the program uses. False with a
// reason when the store cannot be used.
bool OpenSettingsStore(const std::string& path, std::string* error);
