#include <iostream>

#include "app/AppPaths.h"
#include "app/CommandLine.h"

int main(int argc, char** argv) {
    CommandLine cmd;
    std::string error;
    if (!cmd.Parse(std::vector<std::string>(argv + 1, argv + argc), &error)) {
        std::cerr << "quorvane: " << error << "\n" << CommandLine::UsageText();
        return 2;
    }
    if (!EnterDataDir(cmd.dataDir.empty() ? AppPaths::DefaultDataDir() : cmd.dataDir, &error)) {
        std::cerr << "quorvane: " << error << "\n";
        return 3;
    }
    if (cmd.mode == CommandLine::PrintLog) return PrintActivityLog(std::cout, std::cerr);

    std::cerr << "quorvane: this build has no desktop window yet; only --log is available.\n"
              << CommandLine::UsageText();
    return 2;
}
