#include "platform/UserPrompt.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<UserPrompt> gPrompt;
}  // namespace

UserPrompt& UserPrompt::Get() {
    static StderrPrompt fallback;
    std::lock_guard lock(gMutex);
    return gPrompt ? *gPrompt : static_cast<UserPrompt&>(fallback);
}

void UserPrompt::Install(std::shared_ptr<UserPrompt> prompt) {
    std::lock_guard lock(gMutex);
    gPrompt = std::move(prompt);
}

UserPrompt::Answer StderrPrompt::Ask(const std::string& text, const std::string& caption,
                                     Buttons buttons, Icon) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    switch (buttons) {
        case YesNo:
        case YesNoCancel:
        case YesNoDefaultNo:
            return IdNo;
        case OkCancel:
            return IdCancel;
        default:
            return IdOk;
    }
}
