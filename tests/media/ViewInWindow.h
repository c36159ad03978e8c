#pragma once

// A software player view in a window of its own, between other widgets, as the main window has
// it: a bar above the view (the menu bar's place), on request a panel to its left, and a small
// opaque mark over each top corner of the view on an otherwise transparent widget (as the status
// light lies over it), and a cover over all of the view that is shown on request. What the window
// shows is read back from the screen (on the offscreen platform, from the window's backing store).
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"

#include "Clips.h"
#include "GuiTestSupport.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace test {

class ViewInWindow {
public:
    static constexpr int kBarHeight = 30;
    static constexpr int kSideWidth = 60;
    static constexpr int kMarkSize = 16;
    // The view's own size: a 4:3 video leaves black bars of 76 pixels left and right (give or
    // take the few pixels by which the view may move it, see columnsToLeaveOut).
    static constexpr int kViewWidth = 472;
    static constexpr int kViewHeight = 240;

    // A square of one colour in a corner of a widget that is otherwise transparent.
    class Mark : public QWidget {
    public:
        explicit Mark(Qt::Alignment corner) : corner_(corner) { setFixedSize(kMarkSize * 2, kMarkSize * 2); }
        QRect square() const { return QRect((corner_ & Qt::AlignLeft) ? 0 : kMarkSize, 0, kMarkSize, kMarkSize); }
        int paints = 0;

    protected:
        void paintEvent(QPaintEvent*) override {
            QPainter(this).fillRect(square(), Qt::magenta);
            ++paints;
        }

    private:
        Qt::Alignment corner_;
    };

    // Counts the paints of the widget it watches that reach wider than a mark.
    class PaintCounter : public QObject {
    public:
        int widePaints = 0;

    protected:
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint &&
                static_cast<QPaintEvent*>(event)->region().boundingRect().width() > kMarkSize * 2) {
                ++widePaints;
            }
            return false;
        }
    };

    explicit ViewInWindow(bool withSidePanel) : window_(std::make_unique<QWidget>()) {
        auto* column = new QVBoxLayout(window_.get());
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        column->setSizeConstraint(QLayout::SetFixedSize);
        bar = filled(Qt::green);
        bar->setFixedHeight(kBarHeight);
        column->addWidget(bar);
        auto* row = new QHBoxLayout;
        row->setSpacing(0);
        if (withSidePanel) {
            side = filled(Qt::yellow);
            side->setFixedWidth(kSideWidth);
            row->addWidget(side);
        }
        auto* stack = new QGridLayout;
        view = PlayerView::create();
        view->setFixedSize(kViewWidth, kViewHeight);
        view->installEventFilter(&viewPaints);
        stack->addWidget(view, 0, 0);
        cover = filled(Qt::yellow);
        stack->addWidget(cover, 0, 0);
        cover->hide();
        leftMark = new Mark(Qt::AlignLeft);
        rightMark = new Mark(Qt::AlignRight);
        stack->addWidget(leftMark, 0, 0, Qt::AlignLeft | Qt::AlignTop);
        stack->addWidget(rightMark, 0, 0, Qt::AlignRight | Qt::AlignTop);
        leftMark->raise();
        rightMark->raise();
        row->addLayout(stack);
        column->addLayout(row);
        window_->show();
    }

    ~ViewInWindow() {
        view->removeEventFilter(&viewPaints);
        view->setPlayer(nullptr);
        window_->hide();
    }

    // Plays a clip of one colour all over, 4:3.
    void play(const QString& colour) {
        player = Player::playerWithPlayerItem(
            PlayerItem::playerItemWithURL(QUrl::fromLocalFile(test::solidClip(colour, 10.0, "320x240"))));
        view->setPlayer(player);
        player->play();
    }

    // Waits until the window shows the video right; returns what was wrong at the last look.
    QString waitForPicture(bool (*isVideo)(QColor), int timeoutMs = 15000) const {
        QString wrong = QStringLiteral("nothing shown");
        test::waitUntil(
            [&] {
                wrong = faults(shown(), isVideo);
                return wrong.isEmpty();
            },
            timeoutMs);
        return wrong;
    }

    // Waits until no new frame has come for a while (the player is paused).
    bool waitForStillVideo() const {
        return test::waitUntil([&] {
            const auto last = view->lastFrameTime();
            return last && std::chrono::steady_clock::now() - *last > std::chrono::milliseconds(400);
        });
    }

    // Waits until the cover is seen all over the view.
    bool waitForCover() const {
        return test::waitUntil([&] {
            const QImage image = shown();
            const QRect v = viewRect();
            for (QPoint at : {v.bottomLeft(), v.center(), v.bottomRight()}) {  // the marks lie over it
                if (image.pixelColor(at) != QColor(Qt::yellow)) return false;
            }
            return true;
        });
    }

    // Repaints the right mark, and so the part of the view under it, and nothing else.
    bool repaintRightMarkAlone() {
        const int before = rightMark->paints;
        rightMark->update();
        return test::waitUntil([&] { return rightMark->paints > before; });
    }

    // The window as the screen has it.
    QImage shown() const {
        return QGuiApplication::primaryScreen()->grabWindow(window_->winId()).toImage().convertToFormat(
            QImage::Format_RGB32);
    }

    // Where the view lies in the window.
    QRect viewRect() const { return QRect(view->mapTo(window_.get(), QPoint(0, 0)), view->size()); }

    // What is wrong with the picture, or empty: the bar, the panel and the mark as they were
    // painted, the video's colour between black bars, from the view's first row to its last.
    QString faults(const QImage& image, bool (*isVideo)(QColor)) const {
        QStringList faults;
        const QRect v = viewRect();
        const auto expect = [&](const char* what, QPoint at, bool ok) {
            if (ok) return;
            faults += QStringLiteral("%1 at (%2,%3) is %4")
                          .arg(QString::fromLatin1(what), QString::number(at.x()), QString::number(at.y()),
                               image.pixelColor(at).name());
        };
        const int middle = v.left() + v.width() / 2;
        for (int x : {0, middle, image.width() - 1}) {
            for (int y : {0, kBarHeight - 1}) expect("the bar", {x, y}, image.pixelColor(x, y) == QColor(Qt::green));
        }
        if (side) {
            for (int y : {kBarHeight, kBarHeight + kViewHeight / 2, image.height() - 1}) {
                for (int x : {0, kSideWidth - 1}) {
                    expect("the panel", {x, y}, image.pixelColor(x, y) == QColor(Qt::yellow));
                }
            }
        }
        for (int y : {v.top(), v.top() + v.height() / 2, v.bottom()}) {
            for (int x : {v.left(), v.left() + 40, v.right() - 40, v.right()}) {
                if (y == v.top() && (x < v.left() + kMarkSize || x > v.right() - kMarkSize)) continue;  // a mark
                expect("the black bar", {x, y}, image.pixelColor(x, y) == QColor(Qt::black));
            }
            for (int x : {v.left() + 90, middle, v.right() - 90}) {
                expect("the video", {x, y}, isVideo(image.pixelColor(x, y)));
            }
        }
        for (const Mark* mark : {leftMark, rightMark}) {
            const QPoint at = mark->mapTo(window_.get(), mark->square().center());
            expect("a mark", at, image.pixelColor(at) == QColor(Qt::magenta));
        }
        return faults.join(QStringLiteral("; "));
    }

    std::shared_ptr<Player> player;
    QWidget* bar = nullptr;
    QWidget* side = nullptr;
    PlayerView* view = nullptr;
    PaintCounter viewPaints;  // of the view
    QWidget* cover = nullptr;  // over all of the view, hidden at first
    Mark* leftMark = nullptr;
    Mark* rightMark = nullptr;

private:
    static QWidget* filled(Qt::GlobalColor colour) {
        auto* widget = new QWidget;
        widget->setAutoFillBackground(true);
        QPalette palette = widget->palette();
        palette.setColor(QPalette::Window, colour);
        widget->setPalette(palette);
        return widget;
    }

    std::unique_ptr<QWidget> window_;
};

inline bool isBlue(QColor c) { return c.blue() > 150 && c.red() < 90 && c.green() < 90; }

// The bar above the view (and the panel beside it) drawn by Qt, the marks over it: mpv's frames
// land in the view's place only, in their own colours, under the marks; nothing of a cover that
// was over the view stays. A repaint of one mark alone, while the video stands still, repaints
// the view under that mark and leaves the other mark as it was.
inline void expectTheVideoInTheViewsPlaceOnly(bool withSidePanel) {
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
    qputenv("VORNPLAYER_RENDER", "software");
    ViewInWindow w(withSidePanel);
    qunsetenv("VORNPLAYER_RENDER");
    ASSERT_EQ(w.view->renderer(), PlayerView::Renderer::Software);
    w.play("blue");
    EXPECT_EQ(w.waitForPicture(isBlue).toStdString(), "");

    // Uncovered, the whole view is painted again: no trace of the cover is left anywhere, also
    // where mpv was not asked to render (the view may narrow mpv's target, see columnsToLeaveOut).
    w.cover->show();
    ASSERT_TRUE(w.waitForCover());
    w.cover->hide();
    EXPECT_EQ(w.waitForPicture(isBlue).toStdString(), "");

    w.player->pause();
    ASSERT_TRUE(w.waitForStillVideo());
    // The view under the right mark is painted with it; mpv may also ask for a redraw of the
    // paused frame now and then, which paints the whole view and both marks over it: only repaints
    // of the right mark during which the view painted no more than under it say anything.
    int telling = 0;
    for (int attempt = 0; attempt < 20 && telling < 3; ++attempt) {
        const int leftPaints = w.leftMark->paints;
        const int viewPaints = w.viewPaints.widePaints;
        ASSERT_TRUE(w.repaintRightMarkAlone());
        if (w.viewPaints.widePaints != viewPaints) continue;
        ++telling;
        EXPECT_EQ(w.leftMark->paints, leftPaints) << "the left mark was painted again too";
    }
    EXPECT_GT(telling, 0) << "the whole view painted at every repaint of the right mark";
    EXPECT_EQ(w.faults(w.shown(), isBlue).toStdString(), "");
}

}  // namespace test
