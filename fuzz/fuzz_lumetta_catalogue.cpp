// The Lumetta wizard's catalogue reader on any file (the input is the file, in TMPDIR).
// Every entry sits under a category read before it, or at the top; an entry chosen is read
// again from its own line, and gives the address the list showed, or a reason it cannot be
// stored when a value is longer than the display reads.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/EventWizards.h"

namespace {

std::string g_path;

void RemoveFile() {
    ::unlink(g_path.c_str());
}

const std::string& CataloguePath() {
    if (g_path.empty()) {
        const char* dir = std::getenv("TMPDIR");
        g_path = std::string(dir && *dir ? dir : "/tmp") + "/fuzz_lumetta_catalogue-" +
                 std::to_string(::getpid()) + ".wiz";
        std::atexit(RemoveFile);
    }
    return g_path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = CataloguePath();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) __builtin_trap();
    if (size && std::fwrite(data, 1, size, f) != size) __builtin_trap();
    std::fclose(f);

    CLmWizB page(path);
    page.Load();
    const auto& items = page.items();
    if (items.size() > size) __builtin_trap();
    for (size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (item.text.empty() && !item.category) __builtin_trap();
        if (item.position < 0 || static_cast<size_t>(item.position) >= size) __builtin_trap();
        if (item.parent >= static_cast<int>(i) ||
            (item.parent >= 0 && !items[static_cast<size_t>(item.parent)].category))
            __builtin_trap();
        if (item.category || i >= 16) continue;
        page.selected = static_cast<int>(i);
        page.url.clear();
        std::string problem;
        if (page.TakeSelected(&problem)) {
            if (page.url != item.url || page.url.size() > kStringValueBytes ||
                page.filterFile.size() > kStringValueBytes)
                __builtin_trap();
        } else if (problem.empty()) {
            __builtin_trap();
        }
    }
    return 0;
}
