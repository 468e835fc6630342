// Walks a key of 1,000 values and a key of 10,000 values by index, as the web monitor
// walks a large watch list, and compares the times. A walk that costs O(1) per step gives
// a ratio near 10; one that rescans from the start each step gives about 100.

#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/Registry.h"

namespace {

double WalkSeconds(const RegKey& key, DWORD expected, int rounds) {
    std::string name;
    DWORD type = 0;
    Bytes data;
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        DWORD n = 0;
        while (key.EnumValue(n, &name, &type, &data, 256, 256) == ERROR_SUCCESS) ++n;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (n != expected) {
            std::fprintf(stderr, "walked %u values, expected %u\n", n, expected);
            return -1;
        }
        best = std::min(best, s);
    }
    return best;
}

bool Fill(RegKey& key, const char* path, DWORD count) {
    if (key.Create(RegKey::LocalMachine(), path, "Quorvane") != ERROR_SUCCESS) return false;
    Bytes record(12, 0);
    for (DWORD i = 0; i < count; ++i)
        if (key.SetValue("http://www.example.org/page" + std::to_string(i) + ".html", REG_BINARY,
                         record) != ERROR_SUCCESS)
            return false;
    return true;
}

}  // namespace

int main() {
    QTemporaryDir dir;
    std::string error;
    auto store = Registry::Open(dir.path().toStdString() + "/bench.db", &error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    Registry::SetCurrent(store);
    RegKey small, large;
    if (!Fill(small, "Small\\WatchedUrls", 1000) || !Fill(large, "Large\\WatchedUrls", 10000)) {
        std::fprintf(stderr, "cannot fill the store\n");
        return 2;
    }
    double t1 = WalkSeconds(small, 1000, 7);
    double t2 = WalkSeconds(large, 10000, 7);
    if (t1 <= 0 || t2 <= 0) return 2;
    double ratio = t2 / t1;
    std::printf("walk of 1,000 values:  %.3f ms\n", t1 * 1e3);
    std::printf("walk of 10,000 values: %.3f ms\n", t2 * 1e3);
    std::printf("ratio: %.2f (linear is about 10; must stay below 15)\n", ratio);
    return ratio < 15 ? 0 : 1;
}
