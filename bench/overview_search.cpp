// Times the overview search of the news monitor over an overview file: best of three
// passes, printed in seconds with the number of matches.
// Usage: overview_search FILE PHRASE...

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "monitors/NewsMonitor.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: overview_search FILE PHRASE...\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<std::string> phrases(argv + 2, argv + argc);
    double best = 1e9;
    long matches = 0;
    for (int pass = 0; pass < 3; ++pass) {
        COverviewSearch search;
        search.Begin(fd, &phrases, true, true);
        matches = 0;
        auto start = std::chrono::steady_clock::now();
        while (search.Search(1 << 30, [&](const OverviewLine&, const std::string&,
                                          const std::string&) { ++matches; })) {
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (s < best) best = s;
    }
    std::printf("%.3f %ld\n", best, matches);
    return 0;
}
