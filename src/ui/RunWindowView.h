#pragma once

// The run window on screen: caption, two status lines, the icon, Cancel and the panel of
// the step in progress with its own lines and, where it tells one, its progress, all drawn
// from the run window's state.

#include <QDialog>
#include <map>

class CRunWindow;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;

class CRunWindowView : public QDialog {
    Q_OBJECT
public:
    explicit CRunWindowView(CRunWindow& run, QWidget* parent = nullptr);

    QLabel* status1033() const { return status1033_; }
    QLabel* status1034() const { return status1034_; }
    QPushButton* cancelButton() const { return cancel_; }
    // The text of the panel shown, empty for none.
    QString ShownPanelText() const;
    // Shown while the panel shown tells how far it is.
    QProgressBar* progressBar() const { return progress_; }

protected:
    void reject() override;  // Esc and the close box cancel, as the Cancel button does

private:
    void Render();

    CRunWindow& run_;
    QLabel* status1033_;
    QLabel* status1034_;
    QLabel* icon1046_;
    QPushButton* cancel_;
    QStackedWidget* panels_;
    QProgressBar* progress_;
    std::map<int, int> pageOfStep_;
};
