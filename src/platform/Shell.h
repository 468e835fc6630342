#pragma once

// Opening documents and starting programs. Programs are always started from an argument
// vector: a web address, an event name or a setting never passes through a shell.

#include <memory>
#include <string>
#include <vector>

class Shell {
public:
    virtual ~Shell() = default;
    // Opens url with the desktop's default handler; false when that could not be started.
    virtual bool OpenUrl(const std::string& url) = 0;
    // Starts program with args, detached, in the current folder.
    virtual bool StartProgram(const std::string& program, const std::vector<std::string>& args) = 0;

    static Shell& Get();
    static void Install(std::shared_ptr<Shell> shell);
};

class DesktopShell final : public Shell {
public:
    bool OpenUrl(const std::string& url) override;
    bool StartProgram(const std::string& program, const std::vector<std::string>& args) override;
};
