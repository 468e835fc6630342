// Extracts the text (part 0) and the first attachment (part 1) of a stored message, as the
// fax channel does, and prints the best time of a few runs. Used by bench/mime.
//   mime_extract MESSAGE TEXT_OUT ATTACHMENT_OUT [RUNS]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/Inet.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: mime_extract MESSAGE TEXT_OUT ATTACHMENT_OUT [RUNS]\n");
        return 2;
    }
    int runs = argc > 4 ? std::atoi(argv[4]) : 3;
    int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        std::string text, attachment, name;
        auto start = std::chrono::steady_clock::now();
        int gotText = CInet::ExtractPart(fd, 0, &text, nullptr);
        int gotAttachment = CInet::ExtractPart(fd, 1, &attachment, &name);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (gotText != 1 || gotAttachment != 1) {
            std::fprintf(stderr, "mime_extract: a part is missing (%d, %d)\n", gotText,
                         gotAttachment);
            return 1;
        }
        if (seconds < best) best = seconds;
        if (std::rename(text.c_str(), argv[2]) != 0 ||
            std::rename(attachment.c_str(), argv[3]) != 0) {
            std::perror("rename");
            return 1;
        }
        if (run == 0) std::fprintf(stderr, "mime_extract: attachment name \"%s\"\n", name.c_str());
    }
    ::close(fd);
    std::printf("%.4f\n", best);
    return 0;
}
