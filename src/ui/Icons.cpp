#include "ui/Icons.h"

#include <map>

// The icons live in a static library, whose resource initialiser the linker would drop.
static void InitIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace {
QIcon Load(const char* name) {
    static const bool ready = (InitIcons(), true);
    (void)ready;
    return QIcon(QString(":/icons/") + name + ".svg");
}
}  // namespace

QIcon ResourceIcon(int id) {
    static const std::map<int, const char*> names = {
        {130, "mail"},  {131, "news"}, {133, "event-default"}, {152, "previous"}, {153, "next"},
        {155, "error"}, {156, "tray"}, {158, "web"},           {167, "schedule"}, {181, "lumetta"}};
    auto it = names.find(id);
    return Load(it != names.end() ? it->second : "event-default");
}

QIcon CommandIcon(int command) {
    static const std::map<int, const char*> names = {
        {32796, "run-now"},         {32804, "pause"},          {32805, "resume"},
        {32802, "modify-schedule"}, {32790, "modify-monitor"}, {32771, "new-schedule"},
        {32772, "new-mail"},        {32775, "new-news"},       {32787, "new-web"},
        {32808, "new-lumetta"},     {32813, "hide-to-tray"}};
    auto it = names.find(command);
    return it != names.end() ? Load(it->second) : QIcon();
}
