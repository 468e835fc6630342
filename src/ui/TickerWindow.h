#pragma once

// The ticker strip of a Lumetta display event: a frameless window that scrolls the
// titles and texts of the event's documents. It draws what its CTicker holds, tells it how
// long each item came out, and hands a click on an item to the desktop to open its link.
// Escape or "Close" on its menu closes it; it can be dragged anywhere.

#include <QFont>
#include <QMenu>
#include <QStaticText>
#include <QTimer>
#include <QWidget>
#include <string>
#include <vector>

#include "app/Ticker.h"

class CTickerWindow : public QWidget {
    Q_OBJECT
public:
    explicit CTickerWindow(const std::string& event, QWidget* parent = nullptr);
    ~CTickerWindow() override;
    // Which place down the screen this strip holds (0 at the top): the first that no other
    // open strip of the user holds, in this program or another.
    int slot() const { return slot_; }

    CTicker& ticker() { return ticker_; }
    QMenu* menu() { return &menu_; }
    // The scrolling runs on its own timer while shown; a test stops it and steps by hand.
    void SetAnimated(bool on);
    void Step();
    // The item drawn at p (window coordinates), or -1.
    int ItemAtPoint(const QPoint& p) const;

signals:
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // Fonts, window flags and size from the display values, then the items.
    void ApplyDisplay();
    // Lays out every item once; painting only places what was laid out.
    void LayOutItems();
    bool vertical() const { return ticker_.display().scrollType == TickerDisplay::Vertical; }

    struct Laid {
        QStaticText title, text;
        QSizeF titleSize, textSize;
        bool available = true;
    };

    CTicker ticker_;
    std::vector<Laid> laid_;
    QStaticText empty_;
    QFont font_, bold_;
    int pad_ = 8, gap_ = 32, lineHeight_ = 20;
    bool onTop_ = false;
    int slot_ = 0;
    int slotFd_ = -1;  // the lock that holds the slot while the strip is open
    bool animated_ = true;
    QTimer frame_;
    QMenu menu_;
    QPoint pressGlobal_, pressTopLeft_;
    bool pressed_ = false, dragging_ = false;
};
