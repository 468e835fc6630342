#include <QCoreApplication>
#include <iostream>

#include "app/RegCommand.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return RunRegCommand(args, std::cin, std::cout, std::cerr);
}
