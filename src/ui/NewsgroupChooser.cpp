#include "ui/NewsgroupChooser.h"

#include "platform/UserPrompt.h"

// Placeholder until the chooser's dialogs exist: the groups can still be typed by hand.
bool RunNewsgroupChooser(QWidget*, const std::string&, std::vector<std::string>* result) {
    if (result) result->clear();
    UserPrompt::Get().Ask("The list of news groups cannot be shown yet; type the group's name.",
                          "Quorvane", UserPrompt::Ok, UserPrompt::Information);
    return false;
}
