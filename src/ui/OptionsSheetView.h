#pragma once

// The options sheet on screen: a modal dialog with a tab per page. The pages' values live
// in COptionsSheet; the controls show them when a page is first shown and write every edit
// straight back, so the checks and the saving are the core's.

#include <QDialog>
#include <map>
#include <vector>

#include "app/OptionsSheet.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QPlainTextEdit;
class QSlider;
class QTabWidget;

class COptionsSheetView final : public QDialog {
    Q_OBJECT
public:
    COptionsSheetView(COptionsSheet& sheet, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    QDialogButtonBox* buttons() const { return buttons_; }
    // The control of a page's field (the page's own numbering), for focus and for tests.
    QWidget* control(int page, int field) const;

    void accept() override;

private:
    void BuildServers();
    void BuildPager();
    void BuildHelpers();
    void BuildMessages();
    void BuildAdvanced();
    void BuildProxy();

    void OnPageShown(int index);
    // Shows the core's values of a page in its controls.
    void Render(int index);
    void Changed(int page);
    void UpdateApply();
    // OK and Apply: false when a problem keeps the sheet open.
    bool Confirm();

    QLineEdit* Edit(int page, int field, std::string* value, bool digitsOnly = false);
    void PasswordRow(QWidget* page, class QFormLayout* form, int field, const QString& label,
                     PasswordField* value);

    COptionsSheet& sheet_;
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    std::vector<QWidget*> pages_;
    std::map<std::pair<int, int>, QWidget*> controls_;
    bool rendering_ = false;

    // Controls whose value is not a plain text.
    QComboBox* smtpSecurity_ = nullptr;
    QComboBox* newsSecurity_ = nullptr;
    struct PasswordControls {
        QLineEdit* edit;
        QCheckBox* remove;
        PasswordField* value;
    };
    std::vector<PasswordControls> passwords_;
    QComboBox* modems_ = nullptr;
    QSlider* delay_ = nullptr;
    QComboBox* faxProfile_ = nullptr;
    QPlainTextEdit* modemDevices_ = nullptr;
    QButtonGroup* display_ = nullptr;
    QCheckBox* autoStart_ = nullptr;
    QCheckBox* desktopNotifications_ = nullptr;
    QCheckBox* followRedirects_ = nullptr;
    QCheckBox* keepAlive_ = nullptr;
    QCheckBox* useProxy_ = nullptr;
    // The text edits of each page and the members they write.
    std::vector<std::pair<QLineEdit*, std::string*>> texts_[COptionsSheet::kPageCount];
};

// Opens the options sheet over parent and runs it until it is closed.
void RunOptionsSheet(QWidget* parent);
