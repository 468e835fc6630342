#pragma once

// Changing an event that exists, for when no companion program is installed to do it: the
// pages of the event's wizard, filled with its stored values, side by side as the tabs of a
// property sheet. OK writes back what the user changed; Cancel writes nothing.

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

class QTabWidget;
class QPushButton;
class CWizardPageView;

class CEventEditor : public QDialog {
    Q_OBJECT
public:
    // The sheet of event, or nullptr after telling the user why it cannot be edited.
    static CEventEditor* Make(const std::string& event, QWidget* parent = nullptr);
    ~CEventEditor() override;

    const std::string& event() const { return event_; }
    QTabWidget* tabs() const { return tabs_; }
    const std::vector<CWizardPageView*>& pages() const { return pages_; }
    QPushButton* okButton() const { return ok_; }
    // True once OK wrote the changes.
    bool saved() const { return saved_; }

    // OK: every page's rule and checks, in order (the first page that fails is shown, with
    // what is wrong, and the sheet stays open), then the changed values are written.
    void accept() override;

    struct Session;

private:
    CEventEditor(const std::string& event, std::unique_ptr<Session> session, QWidget* parent);

    std::string event_;
    std::unique_ptr<Session> session_;
    QTabWidget* tabs_ = nullptr;
    QPushButton* ok_ = nullptr;
    std::vector<CWizardPageView*> pages_;
    bool saved_ = false;
};

// Runs the sheet of event modally. True when the changes were written.
bool RunEventEditor(QWidget* parent, const std::string& event);
