#pragma once

// The New Event wizards on screen. Each page widget works on its core page (app/EventWizards.h)
// directly, without wizard fields, so the same widgets serve in a QWizard for a new event and
// in a tabbed sheet for an event that exists.

#include <QWizard>
#include <QWizardPage>
#include <functional>
#include <optional>
#include <vector>

#include "app/EventWizards.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QBoxLayout;

class CWizardPageView : public QWizardPage {
    Q_OBJECT
public:
    CWizardPageView(CWizardPage& model, QWidget* parent = nullptr);
    CWizardPage& model() { return model_; }

    // Next, or Finish on the last page, is enabled by the page's rule.
    bool isComplete() const override;
    // Left by Next or Finish: the page's checks; false keeps the user on it.
    bool validatePage() override;
    void initializePage() override { Shown(); }
    // Going back keeps what was entered.
    void cleanupPage() override {}
    // The page is displayed: a wizard calls this on Next, a tabbed sheet when it shows the
    // page (showEvent, outside a wizard).
    virtual void Shown();

protected:
    void showEvent(QShowEvent* event) override;
    // After every change of a value: the controls' enabling and the buttons follow.
    void Changed();

    QLabel* AddLabel(QBoxLayout* layout, const QString& text);
    QLineEdit* AddEdit(QBoxLayout* layout, const char* label, std::string& value, int id,
                       size_t maxChars);
    QCheckBox* AddCheck(QBoxLayout* layout, const char* label, bool& value, int id);
    QComboBox* AddScheduleList(QBoxLayout* layout, const char* label, CScheduleChoice& choice);
    // While enabled() holds, widget is enabled.
    void EnableWhile(QWidget* widget, std::function<bool()> enabled);
    // Run on every display, after the page's model was told (to show refilled lists).
    void OnShown(std::function<void()> refresh) { shown_.push_back(std::move(refresh)); }

    CWizardPage& model_;
    bool syncing_ = false;

private:
    std::vector<std::pair<QWidget*, std::function<bool()>>> enablers_;
    std::vector<std::function<void()>> shown_;
};

// The page widgets of each kind over its model, in the wizard's order.
std::vector<CWizardPageView*> MakeSchedulePages(CScheduleWizard& model, QWidget* parent);
std::vector<CWizardPageView*> MakeMailPages(CMailWizard& model, QWidget* parent);
std::vector<CWizardPageView*> MakeNewsPages(CNewsWizard& model, QWidget* parent);
std::vector<CWizardPageView*> MakeWebPages(CWebWizard& model, QWidget* parent);
std::vector<CWizardPageView*> MakeLumettaPages(CLumettaWizard& model, QWidget* parent);

// A wizard of those pages (not yet shown); the window's title follows the page's.
QWizard* MakeWizard(const std::vector<CWizardPageView*>& pages, QWidget* parent);

// Stores a wizard's record when Finish is pressed; false keeps the wizard open.
template <typename Record>
using Store = std::function<bool(const Record&)>;

// Runs the kind's wizard modally: the collected record, or nothing after Cancel. With store,
// Finish closes the wizard only once store took the record.
std::optional<ScheduleRecord> RunScheduleWizard(QWidget* parent, Store<ScheduleRecord> store = {});
std::optional<MailMonitorRecord> RunMailWizard(QWidget* parent,
                                               Store<MailMonitorRecord> store = {});
std::optional<NewsMonitorRecord> RunNewsWizard(QWidget* parent,
                                               Store<NewsMonitorRecord> store = {});
std::optional<WebMonitorRecord> RunWebWizard(QWidget* parent, Store<WebMonitorRecord> store = {});
std::optional<LumettaRecord> RunLumettaWizard(QWidget* parent, Store<LumettaRecord> store = {});
