#include <QCoreApplication>
#include <iostream>

#include "app/CommandLine.h"
#include "app/RegCommand.h"

int main(int argc, char** argv) {
    TurnWriteSignalsIntoErrors();
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunRegCommand(args, std::cin, std::cout, std::cerr);
}
