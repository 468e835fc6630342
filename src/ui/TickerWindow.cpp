#include "ui/TickerWindow.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/Shell.h"
#include "platform/TempFile.h"

namespace {

const QColor kBackground(0x15, 0x22, 0x38);
const QColor kEdge(0x3a, 0x4d, 0x6b);
const QColor kTitle(0xff, 0xc8, 0x57);
const QColor kText(0xee, 0xf1, 0xf5);
const QColor kUnavailable(0x9a, 0xa5, 0xb4);
// Lines of text a vertical strip shows at once.
constexpr int kVerticalLines = 5;

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QStaticText Prepared(const QString& text, const QFont& font, qreal width = -1) {
    QStaticText st(text);
    st.setTextFormat(Qt::PlainText);
    if (width > 0) st.setTextWidth(width);
    st.prepare(QTransform(), font);
    return st;
}

// Strips open at once that keep out of each other's way; more go to the top.
constexpr int kSlots = 64;

// Finds a place for a strip of this height that no open strip covers, and claims it.
// Each open strip holds a lock file of the user's with its top and height in it, so
// strips of separate programs (a --ticker beside the desktop program) see each other's
// places, and a program that ends frees its own. *slot: the lock file claimed (its
// descriptor in *fd, -1 when none could be), the place's top is returned.
int ClaimPlace(int height, int areaTop, int areaBottom, int* slot, int* fd) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtime && *runtime ? runtime : TempFile::SystemTempDir();
    std::vector<std::pair<int, int>> taken;  // top, height of each open strip
    *slot = 0;
    *fd = -1;
    for (int k = 0; k < kSlots; ++k) {
        std::string path = dir + "/quorvane-ticker-" + std::to_string(::getuid()) + "-" +
                           std::to_string(k) + ".lock";
        int f = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (f < 0) continue;
        if (::flock(f, LOCK_EX | LOCK_NB) == 0) {
            if (*fd < 0) {
                *slot = k;
                *fd = f;
                continue;
            }
            ::flock(f, LOCK_UN);
        } else {
            char text[64] = {};
            ssize_t got = ::pread(f, text, sizeof text - 1, 0);
            int top = 0, h = 0;
            if (got > 0 && std::sscanf(text, "%d %d", &top, &h) == 2 && h > 0)
                taken.emplace_back(top, h);
        }
        ::close(f);
    }
    // The first top, from the top of the screen down, where this strip meets no other.
    int top = areaTop + 8;
    for (bool moved = true; moved;) {
        moved = false;
        for (const auto& [otherTop, otherHeight] : taken) {
            if (top < otherTop + otherHeight + 8 && otherTop < top + height + 8) {
                top = otherTop + otherHeight + 8;
                moved = true;
            }
        }
    }
    if (top + height > areaBottom) top = areaTop + 8;  // no room left: the top it is
    if (*fd >= 0) {
        std::string place = std::to_string(top) + " " + std::to_string(height) + "\n";
        if (::ftruncate(*fd, 0) == 0) (void)!::pwrite(*fd, place.data(), place.size(), 0);
    }
    return top;
}

}  // namespace

CTickerWindow::CTickerWindow(const std::string& event, QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::Tool), ticker_(event) {
    setWindowTitle(Q("Quorvane ticker: " + event));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    setCursor(Qt::PointingHandCursor);
    menu_.addAction("Close", this, &QWidget::close);
    frame_.setInterval(CTicker::kTickMs);
    frame_.setTimerType(Qt::PreciseTimer);
    connect(&frame_, &QTimer::timeout, this, &CTickerWindow::Step);
    connect(&ticker_, &CTicker::changed, this, &CTickerWindow::ApplyDisplay);
    ticker_.Load();
    ApplyDisplay();
    ticker_.StartPolling();

    // At the top of the screen, across most of it; each further strip below the ones
    // open, so that a new strip never hides another.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        int width = std::max(320, area.width() * 2 / 3);
        resize(width, height());
        int top = ClaimPlace(height(), area.top(), area.bottom(), &slot_, &slotFd_);
        move(area.x() + (area.width() - width) / 2, top);
    }
}

CTickerWindow::~CTickerWindow() {
    if (slotFd_ >= 0) ::close(slotFd_);
}

void CTickerWindow::SetAnimated(bool on) {
    animated_ = on;
    if (on && isVisible()) {
        frame_.start();
    } else {
        frame_.stop();
    }
}

void CTickerWindow::Step() {
    const int current = ticker_.current();
    const int64_t offset = ticker_.offset();
    ticker_.Tick();
    // A strip that stands still (one item at a time, or paused) is not drawn again.
    if (ticker_.current() != current || ticker_.offset() != offset) update();
}

int CTickerWindow::ItemAtPoint(const QPoint& p) const {
    if (!rect().contains(p)) return -1;
    return ticker_.ItemAt(vertical() ? p.y() : p.x());
}

void CTickerWindow::ApplyDisplay() {
    const TickerDisplay& d = ticker_.display();
    font_ = QApplication::font();
    font_.setPointSizeF(d.PointSize());
    bold_ = font_;
    bold_.setBold(true);
    QFontMetrics fm(bold_);
    lineHeight_ = fm.height();
    pad_ = std::max(6, lineHeight_ / 3);
    gap_ = std::max(24, lineHeight_ * 2);
    if (d.onTop != onTop_) {
        onTop_ = d.onTop;
        bool shown = isVisible();
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop_);
        if (shown) show();  // a change of flags hides the window
    }
    int lines = vertical() ? kVerticalLines : 1;
    int height = lineHeight_ * lines + 2 * pad_;
    // A strip taller than the screen would scroll its items in where nobody sees them.
    if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
        height = std::min(
            height, std::max(lineHeight_ + 2 * pad_, screen->availableGeometry().height() - 16));
    setFixedHeight(height);
    LayOutItems();
    update();
}

void CTickerWindow::LayOutItems() {
    const auto& items = ticker_.items();
    laid_.clear();
    laid_.reserve(items.size());
    std::vector<int> extents;
    extents.reserve(items.size());
    const qreal wrap = vertical() ? std::max(50, width() - 2 * pad_) : -1;
    for (const auto& item : items) {
        Laid l;
        l.available = item.available;
        QFont textFont = font_;
        textFont.setItalic(!item.available);
        QString title = Q(item.title), text = Q(item.text);
        if (ticker_.display().scrollType == TickerDisplay::Static) {
            // One item at a time, standing still: what does not fit is elided once here.
            int room = std::max(50, width() - 2 * pad_);
            title = QFontMetrics(bold_).elidedText(title, Qt::ElideRight, room * 2 / 3);
            int titleWidth = QFontMetrics(bold_).horizontalAdvance(title) + lineHeight_ / 2;
            text = QFontMetrics(textFont).elidedText(text, Qt::ElideRight,
                                                     std::max(0, room - titleWidth));
        }
        l.title = Prepared(title, bold_, wrap);
        l.text = Prepared(text, textFont, wrap);
        l.titleSize = l.title.size();
        l.textSize = text.isEmpty() ? QSizeF(0, 0) : l.text.size();
        int extent =
            vertical()
                ? static_cast<int>(l.titleSize.height() + l.textSize.height()) + lineHeight_
                : static_cast<int>(l.titleSize.width() + lineHeight_ / 2 + l.textSize.width()) +
                      gap_;
        extents.push_back(extent);
        laid_.push_back(std::move(l));
    }
    empty_ = Prepared(Q(CTicker::EmptyText()), font_);
    ticker_.SetLayout(std::move(extents), vertical() ? height() : width());
}

void CTickerWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOutItems();
}

void CTickerWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (animated_) frame_.start();
}

void CTickerWindow::closeEvent(QCloseEvent* event) {
    frame_.stop();
    QWidget::closeEvent(event);
    emit closed();
}

void CTickerWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    p.setPen(kEdge);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setClipRect(rect().adjusted(1, 1, -1, -1));

    if (laid_.empty()) {
        p.setFont(font_);
        p.setPen(kUnavailable);
        p.drawStaticText(pad_, (height() - static_cast<int>(empty_.size().height())) / 2, empty_);
        return;
    }
    const int textTop = (height() - lineHeight_) / 2;
    QFont unavailableFont = font_;
    unavailableFont.setItalic(true);
    for (const auto& at : ticker_.Visible()) {
        if (at.item < 0 || at.item >= static_cast<int>(laid_.size())) continue;
        const Laid& l = laid_[at.item];
        const qreal pos = static_cast<qreal>(at.position);
        QPointF titleAt, textAt;
        if (vertical()) {
            titleAt = QPointF(pad_, pos);
            textAt = QPointF(pad_, pos + l.titleSize.height());
        } else {
            qreal x = ticker_.display().scrollType == TickerDisplay::Static ? pad_ : pos;
            titleAt = QPointF(x, textTop);
            textAt = QPointF(x + l.titleSize.width() + lineHeight_ / 2, textTop);
        }
        // The painter's font is the one a static text is drawn in: the one it was laid out
        // for, or it would be laid out anew, and differently, at every frame.
        p.setFont(bold_);
        p.setPen(l.available ? kTitle : kUnavailable);
        p.drawStaticText(titleAt, l.title);
        p.setFont(l.available ? font_ : unavailableFont);
        p.setPen(l.available ? kText : kUnavailable);
        p.drawStaticText(textAt, l.text);
        if (!vertical() && ticker_.display().scrollType != TickerDisplay::Static) {
            // A dot halfway along the gap parts one item from the next.
            qreal dotX = textAt.x() + l.textSize.width() + gap_ / 2.0;
            p.setPen(Qt::NoPen);
            p.setBrush(kEdge.lighter(150));
            qreal r = std::max(2.0, lineHeight_ / 8.0);
            p.drawEllipse(QPointF(dotX, height() / 2.0), r, r);
        }
    }
}

void CTickerWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CTickerWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    pressed_ = true;
    dragging_ = false;
    pressGlobal_ = event->globalPosition().toPoint();
    pressTopLeft_ = frameGeometry().topLeft();
}

void CTickerWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || !(event->buttons() & Qt::LeftButton)) return;
    QPoint delta = event->globalPosition().toPoint() - pressGlobal_;
    if (!dragging_ && delta.manhattanLength() < QApplication::startDragDistance()) return;
    dragging_ = true;
    move(pressTopLeft_ + delta);
}

void CTickerWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressed_) return QWidget::mouseReleaseEvent(event);
    pressed_ = false;
    if (dragging_) {
        dragging_ = false;
        return;
    }
    int item = ItemAtPoint(event->position().toPoint());
    if (item < 0 || item >= static_cast<int>(ticker_.items().size())) return;
    const std::string& link = ticker_.items()[item].link;
    if (!link.empty()) Shell::Get().OpenUrl(link);
}

void CTickerWindow::contextMenuEvent(QContextMenuEvent* event) {
    menu_.popup(event->globalPos());
}

void CTickerWindow::enterEvent(QEnterEvent* event) {
    // Held still under the pointer, so that what one means to click stays put.
    ticker_.SetPaused(true);
    QWidget::enterEvent(event);
}

void CTickerWindow::leaveEvent(QEvent* event) {
    ticker_.SetPaused(false);
    QWidget::leaveEvent(event);
}
