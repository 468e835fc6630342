#include "ui/QtPrompt.h"

#include <QMessageBox>

UserPrompt::Answer QtPrompt::Ask(const std::string& text, const std::string& caption,
                                 Buttons buttons, Icon icon) {
    QMessageBox box(parent_);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case Information:
            box.setIcon(QMessageBox::Information);
            break;
        case Question:
            box.setIcon(QMessageBox::Question);
            break;
        case Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case Stop:
            box.setIcon(QMessageBox::Critical);
            break;
        default:
            break;
    }
    switch (buttons) {
        case OkCancel:
            box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
            break;
        case YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case YesNoDefaultNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::No);
            box.setEscapeButton(QMessageBox::No);
            break;
        case YesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        default:
            box.setStandardButtons(QMessageBox::Ok);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Yes:
            return IdYes;
        case QMessageBox::No:
            return IdNo;
        case QMessageBox::Cancel:
            return IdCancel;
        default:
            return buttons == YesNo || buttons == YesNoDefaultNo ? IdNo : IdOk;
    }
}
