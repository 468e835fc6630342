#include "ui/RunWindowView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <optional>

#include "app/RunWindow.h"
#include "ui/Icons.h"

namespace {

const std::pair<int, const char*> kPanelTexts[] = {
    {CRunWindow::kStepMail, "Checking the mail box"},
    {CRunWindow::kStepNews, "Searching the newsgroups"},
    {CRunWindow::kStepWeb, "Checking the web site"},
    {CRunWindow::kStepLumetta, "Fetching the Lumetta documents"},
    {CRunWindow::kStepTimeSync, "Setting the clock"},
    {CRunWindow::kStepMailQueue, "Sending the queued mail"},
};

}  // namespace

CRunWindowView::CRunWindowView(CRunWindow& run, QWidget* parent)
    : QDialog(parent, Qt::Window), run_(run) {
    setModal(false);
    setObjectName("runWindow");
    // A window of its own on the task bar: it carries the program's icon, not a blank one.
    setWindowIcon(ResourceIcon(156));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    icon1046_ = new QLabel;
    icon1046_->setPixmap(ResourceIcon(156).pixmap(32, 32));
    auto* lines = new QVBoxLayout;
    status1033_ = new QLabel;
    status1034_ = new QLabel;
    lines->addWidget(status1033_);
    lines->addWidget(status1034_);
    top->addWidget(icon1046_);
    top->addLayout(lines, 1);
    layout->addLayout(top);

    panels_ = new QStackedWidget;
    panels_->addWidget(new QLabel);  // page 0: no panel shown
    for (auto [step, text] : kPanelTexts) {
        auto* page = new QLabel(tr(text) + "...");
        page->setAlignment(Qt::AlignCenter);
        page->setObjectName(QString("panel%1").arg(step));
        pageOfStep_[step] = panels_->addWidget(page);
    }
    layout->addWidget(panels_, 1);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setVisible(false);
    layout->addWidget(progress_);

    cancel_ = new QPushButton(tr("Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    layout->addLayout(buttons);
    connect(cancel_, &QPushButton::clicked, this, [this] { run_.OnCancel(); });
    connect(&run_, &CRunWindow::controlsChanged, this, &CRunWindowView::Render);
    resize(420, 180);
    Render();
}

void CRunWindowView::reject() {
    run_.OnCancel();
}

QString CRunWindowView::ShownPanelText() const {
    auto* label = qobject_cast<QLabel*>(panels_->currentWidget());
    return label ? label->text() : QString();
}

void CRunWindowView::Render() {
    const auto& c = run_.controls();
    setWindowTitle(QString::fromStdString(c.caption));
    status1033_->setText(QString::fromStdString(c.status1033));
    status1034_->setText(QString::fromStdString(c.status1034));
    status1033_->setVisible(c.show1033);
    status1034_->setVisible(c.show1034);
    icon1046_->setVisible(c.show1046);
    cancel_->setEnabled(c.cancelEnabled);
    int page = 0;
    std::optional<int> progress;
    for (auto [step, index] : pageOfStep_) {
        CPanel* panel = run_.Panel(step);
        if (!panel) continue;
        if (panel->visible()) {
            page = index;
            progress = panel->progress();
        }
        // A panel that tells what it is doing shows its own lines, never fewer than two.
        if (!panel->title().empty()) {
            std::string text = panel->title() + "\n\n" + panel->line(0) + "\n" + panel->line(1);
            for (size_t i = 2; i < panel->lines().size(); ++i) text += "\n" + panel->line(i);
            auto* label = static_cast<QLabel*>(panels_->widget(index));
            label->setText(QString::fromStdString(text));
        }
    }
    panels_->setCurrentIndex(page);
    progress_->setVisible(progress.has_value());
    if (progress) progress_->setValue(*progress);
    if (c.visible && !isVisible()) {
        if (c.lastShowRestored)
            showNormal();
        else
            show();
    } else if (!c.visible && isVisible()) {
        hide();
    }
}
