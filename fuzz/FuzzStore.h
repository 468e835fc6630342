#pragma once

// A settings store of the target's own, installed as the current one for the whole run.
// It sits in a private folder under TMPDIR: a store is never kept where every user may
// write, as /tmp itself is. The folder goes when the process ends.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Registry.h"

inline void OpenFuzzStore(const char* target) {
    static std::string folder;
    const char* tmp = std::getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + target + ".XXXXXX";
    if (!::mkdtemp(folder.data())) __builtin_trap();
    auto store = Registry::Open(folder + "/settings.db", nullptr);
    if (!store) __builtin_trap();
    Registry::SetCurrent(store);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
}
