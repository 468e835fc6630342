#include "platform/Shell.h"

#include <QProcess>
#include <QStringList>
#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<Shell> gShell;
}  // namespace

Shell& Shell::Get() {
    static DesktopShell desktop;
    std::lock_guard lock(gMutex);
    return gShell ? *gShell : static_cast<Shell&>(desktop);
}

void Shell::Install(std::shared_ptr<Shell> shell) {
    std::lock_guard lock(gMutex);
    gShell = std::move(shell);
}

bool DesktopShell::OpenUrl(const std::string& url) {
    return StartProgram("xdg-open", {url});
}

bool DesktopShell::StartProgram(const std::string& program, const std::vector<std::string>& args) {
    QStringList list;
    for (const auto& a : args) list << QString::fromStdString(a);
    return QProcess::startDetached(QString::fromStdString(program), list);
}
