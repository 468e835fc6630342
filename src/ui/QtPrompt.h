#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/UserPrompt.h"

// Message boxes on screen, over the main window.
class QtPrompt final : public UserPrompt {
public:
    explicit QtPrompt(QWidget* parent) : parent_(parent) {}
    Answer Ask(const std::string& text, const std::string& caption, Buttons buttons,
               Icon icon) override;

private:
    QPointer<QWidget> parent_;
};
