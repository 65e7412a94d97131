// TPCheck through real mouse and key events and its painted pixels; the click sound is counted through
// the replaceable player, so no test touches a sound device.
#include "ui/controls/control_resources.h"
#include "ui/controls/lb_background.h"
#include "ui/controls/p_check.h"
#include "ui/controls/vel_color_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace signposter::ui {
namespace {

// Colours are compared by their RGB value: palette colours may be held in another colour model.
QColor At(const QImage& image, int x, int y) {
    return QColor(image.pixel(x, y));
}

bool HasColour(const QImage& image, const QRect& area, const QColor& colour) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (image.pixel(x, y) == colour.rgb()) {
                return true;
            }
        }
    }
    return false;
}

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        TPCustomCheck::SetSoundPlayer([this] { ++m_sounds; });
        m_window = std::make_unique<QWidget>();
        m_window->resize(300, 150);
        QFont font = m_window->font();
        font.setPixelSize(11);
        font.setStyleStrategy(QFont::NoAntialias);
        m_window->setFont(font);
        QPalette palette = m_window->palette();
        palette.setColor(QPalette::Window, QColor(0xD4, 0xD0, 0xC8));
        palette.setColor(QPalette::WindowText, Qt::black);
        m_window->setPalette(palette);
        m_check = new TPCheck(m_window.get());
        m_check->move(8, 20);
        m_check->resize(209, 19);
        m_check->SetCaption(QStringLiteral("Internal Template"));
        m_other = new TPCheck(m_window.get());
        m_other->move(8, 60);
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        QCoreApplication::processEvents();
        QTest::mouseMove(m_window.get(), kAway);
        QCoreApplication::processEvents();
    }

    void TearDown() override {
        QTest::mouseMove(m_window.get(), kAway);
        TPCustomCheck::SetSoundPlayer({});
    }

    QImage Shot() { return m_check->grab().toImage(); }
    QPoint Inside() const { return QPoint(30, 9); }

    static constexpr QPoint kAway{290, 140};
    int m_sounds = 0;
    std::unique_ptr<QWidget> m_window;
    TPCheck* m_check = nullptr;
    TPCheck* m_other = nullptr;
};

TEST_F(CheckTest, DefaultsAndTabStop) {
    TPCheck check;
    EXPECT_EQ(check.size(), QSize(97, 19));
    EXPECT_FALSE(check.Checked());
    EXPECT_FALSE(check.Transparent());
    EXPECT_TRUE(check.ShowFocused());
    EXPECT_FALSE(check.Flat());
    EXPECT_TRUE(check.HotTrack());
    EXPECT_EQ(check.Alingment(), taRightJustify);
    EXPECT_EQ(check.ImageType(), igCrossRed);
    EXPECT_TRUE(check.ShowHandCursor());
    EXPECT_TRUE(check.PlayMusic());
    EXPECT_EQ(check.Style(), bmNone);
    EXPECT_EQ(check.ColorSipleMargine(), QColor(0, 0, 255));
    EXPECT_TRUE(check.focusPolicy() & Qt::TabFocus);
}

TEST_F(CheckTest, LeftPressTogglesWithSoundAndReleaseOverItClicks) {
    QSignalSpy clicks(m_check, &TPCheck::OnClick);
    QSignalSpy downs(m_check, &TPCheck::OnMouseDown);
    bool stateSeenByClick = false;
    QObject::connect(m_check, &TPCheck::OnClick, m_check, [&] { stateSeenByClick = m_check->Checked(); });

    QTest::mousePress(m_check, Qt::LeftButton, {}, Inside());
    EXPECT_TRUE(m_check->Checked());
    EXPECT_EQ(m_sounds, 1);
    EXPECT_EQ(downs.count(), 1);
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_TRUE(m_check->hasFocus());
    QTest::mouseRelease(m_check, Qt::LeftButton, {}, Inside());
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_TRUE(stateSeenByClick);

    // Released outside: the toggle and the sound happen, the click does not.
    QTest::mousePress(m_check, Qt::LeftButton, {}, Inside());
    QTest::mouseRelease(m_check, Qt::LeftButton, {}, QPoint(250, 9));
    EXPECT_FALSE(m_check->Checked());
    EXPECT_EQ(m_sounds, 2);
    EXPECT_EQ(clicks.count(), 1);

    // No sound when PlayMusic is off; the toggle still happens.
    m_check->SetPlayMusic(false);
    QTest::mouseClick(m_check, Qt::LeftButton, {}, Inside());
    EXPECT_TRUE(m_check->Checked());
    EXPECT_EQ(m_sounds, 2);
    EXPECT_EQ(clicks.count(), 2);
}

TEST_F(CheckTest, RightClickAndDisabledControlDoNothing) {
    QSignalSpy clicks(m_check, &TPCheck::OnClick);
    QSignalSpy downs(m_check, &TPCheck::OnMouseDown);
    m_other->setFocus();
    QTest::mouseClick(m_check, Qt::RightButton, {}, Inside());
    EXPECT_FALSE(m_check->Checked());
    EXPECT_FALSE(m_check->hasFocus());
    m_check->setEnabled(false);
    QTest::mouseClick(m_check, Qt::LeftButton, {}, Inside());
    EXPECT_FALSE(m_check->Checked());
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(downs.count(), 0);
    EXPECT_EQ(m_sounds, 0);
}

TEST_F(CheckTest, DoubleClickTogglesTwiceAndClicksTwice) {
    std::vector<bool> seen;
    QObject::connect(m_check, &TPCheck::OnClick, m_check, [&] { seen.push_back(m_check->Checked()); });
    // What the window system delivers for a double click: press, release, double-click press, release.
    QTest::mousePress(m_check, Qt::LeftButton, {}, Inside());
    QTest::mouseRelease(m_check, Qt::LeftButton, {}, Inside());
    QTest::mouseDClick(m_check, Qt::LeftButton, {}, Inside());
    QTest::mouseRelease(m_check, Qt::LeftButton, {}, Inside());
    EXPECT_FALSE(m_check->Checked());
    EXPECT_EQ(m_sounds, 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0]);   // after the first toggle
    EXPECT_FALSE(seen[1]);  // after the second
}

TEST_F(CheckTest, EnterClicksWithoutTogglingAndSpaceDoesNothing) {
    QSignalSpy clicks(m_check, &TPCheck::OnClick);
    m_check->setFocus();
    QTest::keyClick(m_check, Qt::Key_Return);
    QTest::keyClick(m_check, Qt::Key_Enter);
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_FALSE(m_check->Checked());
    QTest::keyClick(m_check, Qt::Key_Space);
    EXPECT_EQ(clicks.count(), 2);
    EXPECT_FALSE(m_check->Checked());
    EXPECT_EQ(m_sounds, 0);
}

TEST_F(CheckTest, ProgramWriteOfCheckedIsSilentAndShowsAtTheNextPaint) {
    QSignalSpy clicks(m_check, &TPCheck::OnClick);
    m_check->SetImageType(igHookLime);
    const QImage before = Shot();
    m_check->SetChecked(true);
    EXPECT_EQ(clicks.count(), 0);
    EXPECT_EQ(m_sounds, 0);
    const QImage after = Shot();
    EXPECT_FALSE(HasColour(before, QRect(2, 1, 16, 16), QColor(0, 255, 0)));
    EXPECT_TRUE(HasColour(after, QRect(2, 1, 16, 16), QColor(0, 255, 0)));
}

TEST_F(CheckTest, AcceleratorClicksFirstThenTogglesWithoutSound) {
    m_check->SetCaption(QStringLiteral("&Passive"));
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    bool stateSeenByClick = true;
    QObject::connect(m_check, &TPCheck::OnClick, m_check, [&] { stateSeenByClick = m_check->Checked(); });
    m_other->setFocus();
    QTest::keyClick(m_window.get(), Qt::Key_P, Qt::AltModifier);
    EXPECT_FALSE(stateSeenByClick);
    EXPECT_TRUE(m_check->Checked());
    EXPECT_TRUE(m_check->hasFocus());
    EXPECT_EQ(m_sounds, 0);

    // The plain letter works as a dialog character while a control that takes no text has the focus ...
    m_other->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_P);
    EXPECT_TRUE(stateSeenByClick);
    EXPECT_FALSE(m_check->Checked());
    // ... but typing into a text field is left alone.
    auto* field = new QLineEdit(m_window.get());
    field->show();
    field->setFocus();
    QTest::keyClick(field, Qt::Key_P);
    EXPECT_FALSE(m_check->Checked());
    EXPECT_EQ(field->text(), QStringLiteral("p"));
}

TEST_F(CheckTest, ImageAndCaptionPositions) {
    const QFontMetrics metrics(m_window->font());
    const int captionTop = (19 - metrics.height()) / 2;
    Shot();
    EXPECT_EQ(m_check->CaptionRect(),
              QRect(22, captionTop, metrics.horizontalAdvance(QStringLiteral("Internal Template")),
                    metrics.height()));
    // "Blank" at (2, 1): its sunken frame starts one pixel in, grey then black; white inside.
    const QImage shot = Shot();
    const QColor face(0xD4, 0xD0, 0xC8);
    EXPECT_EQ(At(shot, 2, 1), face);  // transparent margin of the image
    EXPECT_EQ(At(shot, 3, 2), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(At(shot, 4, 3), QColor(0, 0, 0));
    EXPECT_EQ(At(shot, 10, 9), QColor(255, 255, 255));
    EXPECT_EQ(At(shot, 16, 15), QColor(255, 255, 255));  // bottom-right white edge
    EXPECT_TRUE(HasColour(shot, m_check->CaptionRect(), Qt::black));

    // Caption at the left, flat box at the right edge: x = width - 18.
    m_check->resize(97, 19);
    m_check->SetCaption(QStringLiteral("Passive"));
    m_check->SetAlingment(taLeftJustify);
    m_check->SetFlat(true);
    const QImage left = Shot();
    EXPECT_EQ(m_check->CaptionRect().topLeft(), QPoint(2, captionTop));
    EXPECT_EQ(At(left, 79 + 2, 1 + 2), QColor(0x80, 0x80, 0x80));  // flat border
    EXPECT_EQ(At(left, 79 + 6, 1 + 6), QColor(255, 255, 255));
    EXPECT_EQ(At(left, 79 + 1, 1 + 1), face);

    // A frame shrinks the paint rectangle by one pixel on every side.
    m_check->SetStyle(bmSimple);
    const QImage framed = Shot();
    EXPECT_EQ(At(framed, 0, 0), QColor(0, 0, 255));
    EXPECT_EQ(At(framed, 96, 18), QColor(0, 0, 255));
    EXPECT_EQ(m_check->CaptionRect().topLeft(), QPoint(3, 1 + (17 - metrics.height()) / 2));
}

TEST_F(CheckTest, HoverShowsBlueCaptionPatternAndHandCursor) {
    QSignalSpy enters(m_check, &TPCheck::OnMouseEnter);
    QSignalSpy exits(m_check, &TPCheck::OnMouseExit);
    QTest::mouseMove(m_check, Inside());
    ASSERT_TRUE(m_check->IsHot());
    EXPECT_EQ(enters.count(), 1);
    EXPECT_EQ(m_check->cursor().shape(), Qt::BitmapCursor);
    const QImage hot = Shot();
    EXPECT_TRUE(HasColour(hot, m_check->CaptionRect(), QColor(0, 0, 255)));
    // The pattern: highlight where row and column are both even or both odd.
    const QColor light = QColor(m_check->palette().color(QPalette::Light).rgb());
    EXPECT_EQ(At(hot, 200, 0), light);
    EXPECT_EQ(At(hot, 201, 1), light);
    EXPECT_EQ(At(hot, 201, 0), QColor(0xD4, 0xD0, 0xC8));
    QTest::mouseMove(m_window.get(), kAway);
    EXPECT_FALSE(m_check->IsHot());
    EXPECT_EQ(exits.count(), 1);
    EXPECT_EQ(m_check->cursor().shape(), Qt::ArrowCursor);
    EXPECT_FALSE(HasColour(Shot(), m_check->CaptionRect(), QColor(0, 0, 255)));

    // A disabled control ignores the pointer.
    m_check->setEnabled(false);
    QTest::mouseMove(m_check, Inside());
    EXPECT_FALSE(m_check->IsHot());
    EXPECT_EQ(enters.count(), 1);
    EXPECT_EQ(m_check->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(CheckTest, DisabledLookIsHollowBoxAndEngravedCaption) {
    m_check->SetChecked(false);
    m_check->setEnabled(false);
    const QImage shot = Shot();
    const QColor face(0xD4, 0xD0, 0xC8);
    EXPECT_EQ(At(shot, 10, 9), face);  // "Enabled": the same frame, empty inside
    EXPECT_EQ(At(shot, 3, 2), QColor(0x80, 0x80, 0x80));
    const QPalette& palette = m_check->palette();
    EXPECT_TRUE(HasColour(shot, m_check->CaptionRect().translated(1, 1),
                          palette.color(QPalette::Active, QPalette::Light)));
    EXPECT_TRUE(HasColour(shot, m_check->CaptionRect(), palette.color(QPalette::Active, QPalette::Dark)));
    EXPECT_FALSE(HasColour(shot, m_check->CaptionRect(), Qt::black));
}

TEST_F(CheckTest, FocusRectangleOnlyWhenShowFocused) {
    const QFontMetrics metrics(m_window->font());
    m_check->SetCaption(QStringLiteral("&Go"));
    m_check->setFocus();
    const QImage focused = Shot();
    const QRect caption = m_check->CaptionRect();
    // Dotted: the pixel at the top-left corner (odd + odd = even sum here when both are odd) is inverted.
    const QPoint corner(caption.left() - 1, caption.top() - 1);
    const QColor face(0xD4, 0xD0, 0xC8);
    const QColor inverted(255 - face.red(), 255 - face.green(), 255 - face.blue());
    const int right = caption.left() + metrics.horizontalAdvance(QStringLiteral("&Go")) -
                      metrics.horizontalAdvance(QLatin1Char('&')) + 4 - 1;
    for (int x = corner.x(); x <= right; ++x) {
        const bool dot = ((x + corner.y()) % 2) == 0;
        EXPECT_EQ(At(focused, x, corner.y()), dot ? inverted : face) << x;
    }
    EXPECT_EQ(At(focused, right + 1, corner.y()), face);
    m_check->SetShowFocused(false);
    m_check->repaint();
    const QImage plain = Shot();
    for (int x = corner.x(); x <= right; ++x) {
        EXPECT_EQ(At(plain, x, corner.y()), face) << x;
    }
}

TEST_F(CheckTest, TransparentShowsTheWindowsTiledBackground) {
    QImage tile(32, 32, QImage::Format_RGB32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            tile.setPixel(x, y, qRgb(x * 8, y * 8, 77));
        }
    }
    auto* background = new TLbBackground(m_window.get());
    background->SetImage(tile);
    background->SetEnabled(true);
    m_check->SetTransparent(true);
    m_check->move(45, 37);
    const QImage shot = Shot();
    // Away from the box and the caption, the pixels are the window's texture beneath the control.
    for (const QPoint p : {QPoint(0, 0), QPoint(150, 0), QPoint(208, 18), QPoint(190, 10)}) {
        const int wx = 45 + p.x();
        const int wy = 37 + p.y();
        EXPECT_EQ(At(shot, p.x(), p.y()), QColor(qRgb((wx % 32) * 8, (wy % 32) * 8, 77)))
            << p.x() << "," << p.y();
    }
    // The same through the window's own painting of its children.
    const QImage window = m_window->grab().toImage();
    for (const QPoint p : {QPoint(0, 0), QPoint(150, 0), QPoint(208, 18)}) {
        const int wx = 45 + p.x();
        const int wy = 37 + p.y();
        EXPECT_EQ(At(window, wx, wy), QColor(qRgb((wx % 32) * 8, (wy % 32) * 8, 77)))
            << p.x() << "," << p.y();
    }
    // Hovering shows only the blue caption: the window's painting covers the pattern.
    QTest::mouseMove(m_check, Inside());
    const QImage hot = Shot();
    EXPECT_EQ(At(hot, 150, 0), At(shot, 150, 0));
    EXPECT_TRUE(HasColour(hot, m_check->CaptionRect(), QColor(0, 0, 255)));
}

TEST_F(CheckTest, TransparentShowsTheWindowlessControlsBeneath) {
    // A colour button under the left part of the control belongs to the window's painting.
    auto* button = new TvelColorButton(m_window.get());
    button->setGeometry(m_check->x(), m_check->y() - 2, 60, 23);
    button->SetColor(QColor(0, 160, 0));
    button->show();
    m_check->SetCaption(QString());
    m_check->SetTransparent(true);
    m_check->raise();
    const QImage shot = Shot();
    EXPECT_EQ(At(shot, 20, 10), QColor(0, 160, 0));
    EXPECT_EQ(At(shot, 100, 10), QColor(0xD4, 0xD0, 0xC8));
    // Other check boxes are windows of their own and do not show through.
    m_other->setGeometry(m_check->x() + 120, m_check->y(), 60, 19);
    m_other->SetChecked(true);
    EXPECT_EQ(At(Shot(), 130, 10), QColor(0xD4, 0xD0, 0xC8));
}

TEST_F(CheckTest, HintSecondLineAppendsOnlyToANonEmptyHint) {
    m_check->SetHintSecondLine(QStringLiteral("second"));
    EXPECT_EQ(m_check->Hint(), QString());
    m_check->SetHint(QStringLiteral("first"));
    m_check->SetHintSecondLine(QStringLiteral("second"));
    EXPECT_EQ(m_check->Hint(), QStringLiteral("first\rsecond"));
    EXPECT_EQ(m_check->toolTip(), QStringLiteral("first\nsecond"));
    m_check->SetHintSecondLine(QString());
    EXPECT_EQ(m_check->Hint(), QStringLiteral("first\rsecond"));
}

}  // namespace
}  // namespace signposter::ui
