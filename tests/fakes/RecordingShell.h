#pragma once

// A shell that starts nothing and remembers what it was asked to open or start.

#include <string>
#include <vector>

#include "platform/Shell.h"

class RecordingShell : public Shell {
public:
    std::vector<std::string> calls;
    bool OpenUrl(const std::string& url) override {
        calls.push_back("open " + url);
        return true;
    }
    bool StartProgram(const std::string& program, const std::vector<std::string>& args) override {
        std::string s = "start " + program;
        for (const auto& a : args) s += " [" + a + "]";
        calls.push_back(s);
        return true;
    }
};
