#pragma once

// Message boxes. The desktop program answers through a dialog; without a window the text
// goes to standard error and the box takes its default answer.

#include <memory>
#include <string>

class UserPrompt {
public:
    // YesNoDefaultNo: a question whose Yes loses something; Enter answers No.
    enum Buttons { Ok, OkCancel, YesNo, YesNoCancel, YesNoDefaultNo };
    enum Icon { NoIcon, Information, Question, Exclamation, Stop };
    enum Answer { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };

    virtual ~UserPrompt() = default;
    virtual Answer Ask(const std::string& text, const std::string& caption, Buttons buttons,
                       Icon icon) = 0;

    Answer Tell(const std::string& text, Icon icon = Exclamation) {
        return Ask(text, "Quorvane", Ok, icon);
    }

    // The prompt in use; the standard-error one unless another was installed.
    static UserPrompt& Get();
    static void Install(std::shared_ptr<UserPrompt> prompt);
};

// Writes the text to standard error and answers as a box would when dismissed: OK, or No
// for a question (so nothing is deleted or ended without a person saying so).
class StderrPrompt final : public UserPrompt {
public:
    Answer Ask(const std::string& text, const std::string& caption, Buttons buttons,
               Icon icon) override;
};
