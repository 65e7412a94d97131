// TvelColorButton through real mouse events and its painted pixels.
#include "ui/controls/vel_color_button.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace signposter::ui {
namespace {

const QColor kSilver(0xC0, 0xC0, 0xC0);
const QColor kGrey(0x80, 0x80, 0x80);
const QColor kWhite(0xFF, 0xFF, 0xFF);
const QColor kYellow(255, 255, 0);
const QColor kDownGrey(169, 169, 169);
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);

QColor At(const QImage& image, int x, int y) {
    return QColor(image.pixel(x, y));
}

// Bounding box of the pixels of one colour: where the caption was drawn.
QRect Extent(const QImage& image, const QColor& colour) {
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (QColor(image.pixel(x, y)) == colour) {
                box |= QRect(x, y, 1, 1);
            }
        }
    }
    return box;
}

class ButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_window = std::make_unique<QWidget>();
        m_window->resize(300, 120);
        QFont font = m_window->font();
        font.setPixelSize(11);
        // Unsmoothed text keeps the caption's core pixels in the exact caption colour.
        font.setStyleStrategy(QFont::NoAntialias);
        m_window->setFont(font);
        m_button = new TvelColorButton(m_window.get());
        m_button->move(20, 20);
        m_button->resize(80, 24);
        m_button->SetCaption(QStringLiteral("Help"));
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        // The pointer may still be where an earlier test left it: start away from the button.
        QCoreApplication::processEvents();
        QTest::mouseMove(m_window.get(), kAway);
        QCoreApplication::processEvents();
        ASSERT_FALSE(m_button->IsHot());
    }

    void TearDown() override {
        // Leave the pointer outside the button's place for the next test's window.
        QTest::mouseMove(m_window.get(), kAway);
    }

    static constexpr QPoint kAway{290, 110};

    QImage Shot() { return m_button->grab().toImage(); }
    QPoint Centre() const { return m_button->rect().center(); }

    std::unique_ptr<QWidget> m_window;
    TvelColorButton* m_button = nullptr;
};

TEST_F(ButtonTest, InitialValuesMatchTheDocumentedDefaults) {
    TvelColorButton button;
    EXPECT_EQ(button.size(), QSize(24, 24));
    EXPECT_EQ(button.focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(button.Alignment(), taCenter);
    EXPECT_TRUE(button.Flat());
    EXPECT_TRUE(button.HotTrack());
    EXPECT_FALSE(button.Latching());
    EXPECT_FALSE(button.Down());
    EXPECT_EQ(button.MarginHorizontal(), 8);
    EXPECT_EQ(button.MarginVertical(), 4);
    EXPECT_EQ(button.Color(), kSilver);
    EXPECT_EQ(button.HotColor(), kYellow);
    EXPECT_EQ(button.DownColor(), kDownGrey);
    EXPECT_EQ(button.DownColor(), ColorFromValue(11119017));
    EXPECT_EQ(button.HotFontColor(), kRed);
    EXPECT_EQ(button.DownFontColor(), kBlack);
}

TEST_F(ButtonTest, EachStateHasItsFrameBackgroundAndCaptionColour) {
    const QColor text = m_button->FontColor();
    QImage normal = Shot();
    const int w = normal.width();
    const int h = normal.height();
    // Flat normal: no frame at all.
    EXPECT_EQ(At(normal, 0, 0), kSilver);
    EXPECT_EQ(At(normal, w - 1, h - 1), kSilver);
    const QRect normalCaption = Extent(normal, text);
    ASSERT_FALSE(normalCaption.isEmpty());

    QTest::mouseMove(m_button, Centre());
    ASSERT_TRUE(m_button->IsHot());
    QImage hot = Shot();
    // Raised: white from the top-right corner along the top and down the left edge, grey along the
    // bottom from the bottom-left corner and up the right edge.
    EXPECT_EQ(At(hot, w - 1, 0), kWhite);
    EXPECT_EQ(At(hot, 1, 0), kWhite);
    EXPECT_EQ(At(hot, 0, 0), kWhite);
    EXPECT_EQ(At(hot, 0, h - 2), kWhite);
    EXPECT_EQ(At(hot, 0, h - 1), kGrey);
    EXPECT_EQ(At(hot, w - 2, h - 1), kGrey);
    EXPECT_EQ(At(hot, w - 1, h - 1), kGrey);
    EXPECT_EQ(At(hot, w - 1, 1), kGrey);
    EXPECT_EQ(At(hot, 2, 2), kYellow);
    EXPECT_EQ(Extent(hot, kRed), normalCaption);

    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    QImage pressed = Shot();
    EXPECT_EQ(At(pressed, w - 1, 0), kGrey);
    EXPECT_EQ(At(pressed, 0, h - 2), kGrey);
    EXPECT_EQ(At(pressed, 0, h - 1), kWhite);
    EXPECT_EQ(At(pressed, w - 1, 1), kWhite);
    EXPECT_EQ(At(pressed, 2, 2), kDownGrey);
    EXPECT_EQ(Extent(pressed, kBlack), normalCaption.translated(1, 1));
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, Centre());

    // Hot without hot-tracking, or a button that is not flat: the framed normal look.
    m_button->SetHotTrack(false);
    QImage framedHot = Shot();
    EXPECT_EQ(At(framedHot, 1, 0), kWhite);
    EXPECT_EQ(At(framedHot, 2, 2), kSilver);
    EXPECT_EQ(Extent(framedHot, text), normalCaption);
}

TEST_F(ButtonTest, ClickOnlyOnALeftReleaseOverTheButtonAndWhileStillDrawnPressed) {
    QSignalSpy clicks(m_button, &TvelColorButton::onclick);
    QColor cornerDuringClick;
    QObject::connect(m_button, &TvelColorButton::onclick, m_button,
                     [&] { cornerDuringClick = At(Shot(), m_button->width() - 1, 0); });
    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    EXPECT_TRUE(m_button->IsPressed());
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, Centre());
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(cornerDuringClick, kGrey);  // sunken frame while the handler ran
    EXPECT_FALSE(m_button->IsPressed());

    // Pressed, dragged out and released outside: pressed look until the release, then no click.
    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    QTest::mouseMove(m_button, QPoint(m_button->width() + 30, 5));
    EXPECT_TRUE(m_button->IsPressed());
    EXPECT_EQ(At(Shot(), 2, 2), kDownGrey);
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(m_button->width() + 30, 5));
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_FALSE(m_button->IsPressed());
    EXPECT_EQ(At(Shot(), 2, 2), kSilver);

    // A right press shows the pressed look but never clicks.
    QTest::mousePress(m_button, Qt::RightButton, {}, Centre());
    EXPECT_TRUE(m_button->IsPressed());
    QTest::mouseRelease(m_button, Qt::RightButton, {}, Centre());
    EXPECT_FALSE(m_button->IsPressed());
    EXPECT_EQ(clicks.count(), 1);

    // A right press released outside does not leave the button stuck in its pressed look.
    QTest::mousePress(m_button, Qt::RightButton, {}, Centre());
    QTest::mouseRelease(m_button, Qt::RightButton, {}, QPoint(-20, -20));
    EXPECT_FALSE(m_button->IsPressed());
    EXPECT_EQ(clicks.count(), 1);
}

TEST_F(ButtonTest, DisabledButtonTakesNoMouseInputAndPaintsTheSame) {
    QSignalSpy clicks(m_button, &TvelColorButton::onclick);
    const QImage enabled = Shot();
    m_button->setEnabled(false);
    EXPECT_TRUE(Shot() == enabled);
    QTest::mouseMove(m_button, Centre());
    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    EXPECT_FALSE(m_button->IsPressed());
    EXPECT_FALSE(m_button->IsHot());
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, Centre());
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_TRUE(Shot() == enabled);
}

TEST_F(ButtonTest, GrowsToFitItsCaptionAndNeverShrinks) {
    const QFontMetrics metrics(m_window->font());
    m_button->resize(38, 21);
    m_button->SetCaption(QStringLiteral("Help"));
    Shot();
    const int helpWidth = metrics.horizontalAdvance(QStringLiteral("Help"));
    EXPECT_EQ(m_button->width(), std::max(38, helpWidth + 16));
    EXPECT_EQ(m_button->height(), std::max(21, metrics.height() + 8));

    m_button->SetCaption(QStringLiteral("A much longer caption"));
    Shot();
    const int longWidth = metrics.horizontalAdvance(QStringLiteral("A much longer caption")) + 16;
    EXPECT_EQ(m_button->width(), longWidth);

    // A shorter caption or a smaller size set by the program does not shrink it below the caption.
    m_button->SetCaption(QStringLiteral("&Go"));
    Shot();
    EXPECT_EQ(m_button->width(), longWidth);
    m_button->resize(10, 10);
    m_button->repaint();
    EXPECT_GE(m_button->width(), metrics.horizontalAdvance(QStringLiteral("Go")) + 16);
    EXPECT_EQ(m_button->height(), metrics.height() + 8);

    // Word wrap grows the height only: text height + vertical margin + 1.
    m_button->resize(40, 10);
    m_button->SetWordWrap(true);
    m_button->SetCaption(QStringLiteral("one two three four"));
    Shot();
    EXPECT_EQ(m_button->width(), 40);
    const QRect wrapped =
        metrics.boundingRect(QRect(0, 0, 40 - 16, 1000), Qt::TextWordWrap | Qt::TextShowMnemonic,
                             QStringLiteral("one two three four"));
    EXPECT_EQ(m_button->height(), wrapped.height() + 4 + 1);
}

TEST_F(ButtonTest, AmpersandUnderlinesInsteadOfShowing) {
    m_button->resize(80, 24);
    m_button->SetCaption(QStringLiteral("&Go"));
    const QImage withPrefix = Shot();
    const QRect captionBox = Extent(withPrefix, m_button->FontColor());
    const QFontMetrics metrics(m_window->font());
    // The underline runs below the glyphs, and the ampersand takes no room.
    EXPECT_LE(captionBox.width(), metrics.horizontalAdvance(QStringLiteral("Go")) + 1);
    EXPECT_GT(captionBox.bottom(), 12 + metrics.ascent() - metrics.height() / 2 - 1);
}

TEST_F(ButtonTest, LatchingToggleDownOnEveryRelease) {
    QSignalSpy clicks(m_button, &TvelColorButton::onclick);
    m_button->SetLatching(true);
    const QRect normalCaption = Extent(Shot(), m_button->FontColor());
    QTest::mouseClick(m_button, Qt::LeftButton, {}, Centre());
    EXPECT_TRUE(m_button->Down());
    QTest::mouseMove(m_window.get(), kAway);  // away: not hot, still drawn pressed
    const QImage down = Shot();
    EXPECT_EQ(At(down, 2, 2), kDownGrey);
    EXPECT_EQ(Extent(down, kBlack), normalCaption.translated(1, 1));
    // A release outside after a left press still toggles (the mouse was captured), without a click.
    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(-30, -30));
    EXPECT_FALSE(m_button->Down());
    EXPECT_EQ(clicks.count(), 1);
    QTest::mouseClick(m_button, Qt::RightButton, {}, Centre());
    EXPECT_TRUE(m_button->Down());
    EXPECT_EQ(clicks.count(), 1);
}

TEST_F(ButtonTest, BackBitmapIsTiledFromTheTopLeftInEveryState) {
    QImage tile(10, 7, QImage::Format_RGB32);
    for (int y = 0; y < tile.height(); ++y) {
        for (int x = 0; x < tile.width(); ++x) {
            tile.setPixel(x, y, qRgb(200 + x, 100 + y * 10, 50));
        }
    }
    m_button->SetCaption(QString());
    m_button->resize(25, 24);
    m_button->SetBackBitmap(tile);
    tile.fill(Qt::black);  // the button keeps its own copy
    const QImage normal = Shot();
    for (const QPoint p : {QPoint(1, 1), QPoint(12, 3), QPoint(23, 22), QPoint(24, 20), QPoint(9, 13)}) {
        EXPECT_EQ(At(normal, p.x(), p.y()), QColor(qRgb(200 + p.x() % 10, 100 + (p.y() % 7) * 10, 50)))
            << p.x() << "," << p.y();
    }
    QTest::mouseMove(m_button, Centre());
    const QImage hot = Shot();
    EXPECT_EQ(At(hot, 1, 0), kWhite);            // only the frame changes ...
    EXPECT_EQ(At(hot, 5, 5), At(normal, 5, 5));  // ... the background stays the texture
    QTest::mousePress(m_button, Qt::LeftButton, {}, Centre());
    const QImage pressed = Shot();
    EXPECT_EQ(At(pressed, 1, 0), kGrey);
    EXPECT_EQ(At(pressed, 5, 5), At(normal, 5, 5));
    QTest::mouseRelease(m_button, Qt::LeftButton, {}, Centre());
}

}  // namespace
}  // namespace signposter::ui
