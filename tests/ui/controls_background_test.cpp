// TLbBackground: tile positions, cut edges, the chained paint of the owner and offset surfaces.
#include "ui/controls/lb_background.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QTest>

#include <memory>

namespace signposter::ui {
namespace {

// A tile whose every pixel tells its own coordinates.
QImage CoordinateTile(int w, int h) {
    QImage tile(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            tile.setPixel(x, y, qRgb(x, y, 99));
        }
    }
    return tile;
}

// An owner with painting of its own, which must still run after the tiles.
class Owner : public QWidget {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        ++paints;
        QPainter painter(this);
        painter.fillRect(QRect(5, 5, 2, 2), QColor(1, 2, 3));
    }
};

class BackgroundTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_owner = std::make_unique<Owner>();
        m_owner->resize(251, 392);
        QPalette palette = m_owner->palette();
        palette.setColor(QPalette::Window, QColor(0xD4, 0xD0, 0xC8));
        m_owner->setPalette(palette);
        m_background = new TLbBackground(m_owner.get());
    }

    QImage Shot() { return m_owner->grab().toImage(); }

    std::unique_ptr<Owner> m_owner;
    TLbBackground* m_background = nullptr;
};

TEST_F(BackgroundTest, TilesFromTheOriginAndCutsTheLastRowAndColumn) {
    m_background->SetImage(CoordinateTile(128, 128));
    m_background->SetEnabled(true);
    const QImage shot = Shot();
    ASSERT_EQ(shot.size(), QSize(251, 392));
    for (const QPoint p : {QPoint(0, 0), QPoint(127, 127), QPoint(128, 0), QPoint(250, 391), QPoint(130, 300),
                           QPoint(249, 384), QPoint(10, 390)}) {
        EXPECT_EQ(shot.pixel(p), qRgb(p.x() % 128, p.y() % 128, 99)) << p.x() << "," << p.y();
    }
    // The owner's own painting still runs, on top of the tiles.
    EXPECT_EQ(shot.pixel(5, 5), qRgb(1, 2, 3));
}

TEST_F(BackgroundTest, ResizingNeedsNoExtraStep) {
    m_background->SetImage(CoordinateTile(100, 60));
    m_background->SetEnabled(true);
    m_owner->resize(430, 250);
    const QImage shot = Shot();
    for (const QPoint p : {QPoint(429, 249), QPoint(301, 181), QPoint(399, 239)}) {
        EXPECT_EQ(shot.pixel(p), qRgb(p.x() % 100, p.y() % 60, 99)) << p.x() << "," << p.y();
    }
}

TEST_F(BackgroundTest, DisabledOrEmptyLeavesThePlainColourAndTheOwnersPaint) {
    m_background->SetImage(CoordinateTile(16, 16));
    const QImage disabled = Shot();
    EXPECT_EQ(disabled.pixel(100, 100), qRgb(0xD4, 0xD0, 0xC8));
    EXPECT_EQ(disabled.pixel(5, 5), qRgb(1, 2, 3));

    m_background->SetEnabled(true);
    m_background->SetImage(QImage());
    const QImage empty = Shot();
    EXPECT_EQ(empty.pixel(100, 100), qRgb(0xD4, 0xD0, 0xC8));
    EXPECT_EQ(empty.pixel(5, 5), qRgb(1, 2, 3));
}

TEST_F(BackgroundTest, KeepsItsOwnCopyOfTheImage) {
    QImage tile = CoordinateTile(16, 16);
    m_background->SetImage(tile);
    m_background->SetEnabled(true);
    tile.fill(Qt::black);
    EXPECT_EQ(Shot().pixel(20, 20), qRgb(4, 4, 99));
}

TEST_F(BackgroundTest, OffsetSurfaceGetsTheMatchingPieceOfTheTexture) {
    m_background->SetImage(CoordinateTile(128, 128));
    m_background->SetEnabled(true);
    QImage target(40, 30, QImage::Format_RGB32);
    target.fill(Qt::black);
    {
        QPainter painter(&target);
        m_owner->render(&painter, QPoint(0, 0), QRegion(QRect(150, 60, 40, 30)),
                        QWidget::DrawWindowBackground);
    }
    EXPECT_EQ(target.pixel(0, 0), qRgb(150 % 128, 60, 99));
    EXPECT_EQ(target.pixel(39, 29), qRgb(189 % 128, 89, 99));
}

TEST_F(BackgroundTest, DestructionUnhooksTheOwner) {
    m_background->SetImage(CoordinateTile(16, 16));
    m_background->SetEnabled(true);
    delete m_background;
    const QImage shot = Shot();
    EXPECT_EQ(shot.pixel(100, 100), qRgb(0xD4, 0xD0, 0xC8));
    EXPECT_EQ(shot.pixel(5, 5), qRgb(1, 2, 3));
}

}  // namespace
}  // namespace signposter::ui
