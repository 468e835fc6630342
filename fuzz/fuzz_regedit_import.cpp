// The REGEDIT4 import on any text, into a store of its own that lives as long as the
// process. A refused text changes nothing and says why; after any text the store still
// answers. A text that was taken comes out of the export in a form the import takes again,
// and that second import exports the same text: a backup always restores.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzStore.h"
#include "platform/Registry.h"
#include "platform/RegistryText.h"

namespace {

// Empties the store, then (with canary) plants the one value every input is checked against.
void Reset(bool withCanary) {
    RegKey root = RegKey::LocalMachine();
    std::string name;
    while (root.EnumKey(0, &name) == ERROR_SUCCESS)
        if (root.DeleteKey(name) != ERROR_SUCCESS) __builtin_trap();
    DWORD type = 0;
    Bytes data;
    while (root.EnumValue(0, &name, &type, &data) == ERROR_SUCCESS)
        if (root.DeleteValue(name) != ERROR_SUCCESS) __builtin_trap();
    if (!withCanary) return;
    RegKey canary;
    if (canary.Create(root, "Canary", "") != ERROR_SUCCESS ||
        canary.SetString("State", "alive") != ERROR_SUCCESS)
        __builtin_trap();
}

struct Shape {
    DWORD keys = 0, values = 0;
    std::string canary;
    bool operator==(const Shape&) const = default;
};

Shape Look() {
    Shape s;
    RegKey root = RegKey::LocalMachine();
    if (root.QueryInfo(nullptr, &s.keys, &s.values) != ERROR_SUCCESS) __builtin_trap();
    RegKey canary;
    if (canary.Open(root, "Canary") == ERROR_SUCCESS) canary.GetString("State", &s.canary);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool opened = (OpenFuzzStore("fuzz_regedit_import"), true);
    (void)opened;
    Reset(true);
    const Shape before = Look();
    std::string text(reinterpret_cast<const char*>(data), size), error;
    if (!ImportRegistry(text, &error)) {
        if (error.empty()) __builtin_trap();
        if (!(Look() == before)) __builtin_trap();  // a refused text left something behind
        return 0;
    }
    Look();  // the store answers after what was taken

    std::string exported;
    if (ExportRegistry("", &exported) != ERROR_SUCCESS) __builtin_trap();
    Reset(false);
    if (!ImportRegistry(exported, &error)) __builtin_trap();  // the export is no backup
    std::string again;
    if (ExportRegistry("", &again) != ERROR_SUCCESS) __builtin_trap();
    if (again != exported) __builtin_trap();
    return 0;
}
