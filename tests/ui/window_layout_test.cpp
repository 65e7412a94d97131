// The main window as it is built: positions, sizes, captions, settings and the tab order.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "ui/application.h"
#include "ui/controls/filename_edit.h"
#include "ui/controls/p_check.h"
#include "ui/controls/vel_color_button.h"
#include "ui/form_parts.h"
#include "ui/main_window.h"

namespace signposter::ui {
namespace {

class NoTray final : public TrayShell {
public:
    void Add(const TrayEntry&) override {}
    void Modify(const TrayEntry&) override {}
    void Delete() override {}
};

class WindowLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_config.isValid());
        setenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit().constData(), 1);
        TPCustomCheck::SetSoundPlayer([] {});
        WindowServices services;
        services.trayShell = std::make_unique<NoTray>();
        form = std::make_unique<TForm1>(std::move(services));
        form->SetTimerEnabled(false);
        form->SetMessageBoxFunction([](const QString&, const QString&, MessageIcon) {});
    }

    QWidget* Child(const char* name) const { return form->findChild<QWidget*>(name); }

    QTemporaryDir m_config;
    std::unique_ptr<TForm1> form;
};

struct Placed {
    const char* name;
    QRect geometry;
    const char* caption;
};

QString CaptionOf(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* check = qobject_cast<TPCheck*>(widget)) {
        return check->Caption();
    }
    if (auto* button = qobject_cast<TvelColorButton*>(widget)) {
        return button->Caption();
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        return edit->text();
    }
    return {};
}

TEST_F(WindowLayoutTest, WindowIsAFixedDialogOfTheRightSize) {
    EXPECT_EQ(form->windowTitle(), "Signposter 1.0");
    EXPECT_EQ(form->size(), QSize(251, 392));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(form->font().pixelSize(), 11);
    // The program starts with nothing but its tray icon.
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(TApplication::Instance().ShowMainForm());
}

TEST_F(WindowLayoutTest, EveryControlSitsWhereTheTableSays) {
    const Placed table[] = {
        {"Bevel1", {4, 4, 241, 49}, ""},
        {"Label7", {44, 16, 16, 24}, "IP"},
        {"Edit7", {72, 12, 165, 32}, ""},
        {"Bevel2", {4, 56, 241, 153}, ""},
        {"Edit2", {72, 64, 165, 21}, ""},
        {"Edit1", {72, 92, 25, 21}, "21"},
        {"PCheck1", {120, 92, 97, 19}, "Passive Mode"},
        {"Edit3", {72, 120, 169, 21}, ""},
        {"Edit4", {72, 148, 169, 21}, ""},
        {"Edit6", {72, 176, 169, 21}, "/"},
        {"Bevel3", {4, 212, 241, 125}, ""},
        {"Edit5", {72, 220, 169, 21}, "ipaddress.htm"},
        {"PCheck2", {8, 248, 209, 19}, "Internal Template with auto Redirect"},
        {"PCheck3", {8, 268, 209, 19}, "Internal Template NO auto redirect"},
        {"PCheck4", {8, 288, 113, 19}, "User Template"},
        {"FilenameEdit1", {8, 308, 233, 21}, ""},
        {"PCheck5", {56, 340, 125, 19}, "Signposter is Active"},
        {"velColorButton2", {208, 340, 38, 21}, "Help"},
        {"velColorButton4", {8, 364, 77, 24}, "Offline"},
        {"velColorButton3", {88, 364, 76, 24}, "Update Now"},
        {"velColorButton1", {168, 364, 77, 24}, "Monitor IP"},
    };
    for (const Placed& placed : table) {
        SCOPED_TRACE(placed.name);
        QWidget* widget = Child(placed.name);
        ASSERT_NE(widget, nullptr);
        if (qobject_cast<TvelColorButton*>(widget) || placed.name == std::string("Edit1")) {
            // A button grows to fit its caption (by a pixel or so in this font) and never shrinks; the port
            // field grows into the gap before "Passive Mode" until five digits fit.
            const int growth = placed.name == std::string("Edit1") ? 120 - 4 - 97 : 2;
            EXPECT_EQ(widget->pos(), placed.geometry.topLeft());
            EXPECT_GE(widget->width(), placed.geometry.width());
            EXPECT_LE(widget->width(), placed.geometry.width() + growth);
            EXPECT_EQ(widget->height(), placed.geometry.height());
        } else {
            EXPECT_EQ(widget->geometry(), placed.geometry);
        }
        EXPECT_EQ(CaptionOf(widget), placed.caption);
    }

    // Labels are placed by their top-left corner and sized to their one line of text.
    const Placed labels[] = {
        {"Label1", {44, 68, 0, 0}, "Host"},        {"Label2", {48, 96, 0, 0}, "Port"},
        {"Label3", {44, 124, 0, 0}, "User"},       {"Label4", {20, 152, 0, 0}, "Password"},
        {"Label6", {8, 180, 0, 0}, "Remote Path"}, {"Label5", {8, 224, 0, 0}, "HTML name"},
    };
    for (const Placed& placed : labels) {
        SCOPED_TRACE(placed.name);
        QWidget* widget = Child(placed.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->pos(), placed.geometry.topLeft());
        EXPECT_EQ(widget->height(), 13);
        EXPECT_EQ(CaptionOf(widget), placed.caption);
        // A label must end before the field it names, which starts at x = 72.
        EXPECT_LE(widget->x() + widget->fontMetrics().horizontalAdvance(placed.caption), 72);
    }
}

TEST_F(WindowLayoutTest, CaptionsFitTheirCheckBoxes) {
    // Caption starts 22 pixels in (box on the left) or 2 pixels in with the box at the right - 18.
    for (TPCheck* check : {Part<TPCheck>(*form, "PCheck2"), Part<TPCheck>(*form, "PCheck3"),
                           Part<TPCheck>(*form, "PCheck4"), Part<TPCheck>(*form, "PCheck5")}) {
        SCOPED_TRACE(check->Caption().toStdString());
        EXPECT_LE(22 + check->fontMetrics().horizontalAdvance(check->Caption()), check->width());
    }
    EXPECT_LE(2 + Part<TPCheck>(*form, "PCheck1")
                      ->fontMetrics()
                      .horizontalAdvance(Part<TPCheck>(*form, "PCheck1")->Caption()),
              Part<TPCheck>(*form, "PCheck1")->width() - 18);
    // Buttons that grew to fit must not run into their neighbours or out of the window.
    EXPECT_LT(Part<TvelColorButton>(*form, "velColorButton4")->geometry().right(),
              Part<TvelColorButton>(*form, "velColorButton3")->x());
    EXPECT_LT(Part<TvelColorButton>(*form, "velColorButton3")->geometry().right(),
              Part<TvelColorButton>(*form, "velColorButton1")->x());
    EXPECT_LE(Part<TvelColorButton>(*form, "velColorButton1")->geometry().right(), TForm1::kClientWidth - 1);
    EXPECT_LE(Part<TvelColorButton>(*form, "velColorButton2")->geometry().right(), TForm1::kClientWidth - 1);
    EXPECT_LT(Part<TPCheck>(*form, "PCheck5")->geometry().right(),
              Part<TvelColorButton>(*form, "velColorButton2")->x());
}

// The columns between the first and the last dark pixel of an image: how wide its text is drawn.
int InkWidth(const QImage& image) {
    int first = image.width(), last = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    return last - first;
}

// Fields show their whole value: as wide as the text drawn on its own in the field's font, so nothing is
// cut or scrolled away. The address field takes a full IPv6 address, in brackets too, and keeps the
// designed place and font for a dotted quad; the port field takes five digits.
TEST_F(WindowLayoutTest, FieldsShowTheirWholeValue) {
    auto* port = Part<QLineEdit>(*form, "Edit1");
    port->setText("65535");
    port->setCursorPosition(5);
    QStyleOptionFrame option;
    option.initFrom(port);
    option.lineWidth = port->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, port);
    // Two pixels kept clear on either side, and the cursor's.
    EXPECT_LE(port->fontMetrics().horizontalAdvance("65535") + 2 * 2 + 1,
              port->style()->subElementRect(QStyle::SE_LineEditContents, &option, port).width());
    auto* field = Part<QLineEdit>(*form, "Edit7");
    for (const auto& [shown, text] : std::initializer_list<std::pair<QLineEdit*, const char*>>{
             {port, "65535"},
             {field, "2a02:8071:1234:5678:9abc:def0:1234:5678"},
             {field, "[2a02:8071:1234:5678:9abc:def0:1234:5678]"},
             {field, "255.255.255.255"}}) {
        SCOPED_TRACE(text);
        shown->setText(text);
        QImage alone(600, 60, QImage::Format_RGB32);
        alone.fill(Qt::white);
        QPainter painter(&alone);
        painter.setFont(shown->font());
        painter.setPen(Qt::black);
        painter.drawText(10, 40, text);
        painter.end();
        EXPECT_NEAR(InkWidth(shown->grab().toImage()), InkWidth(alone), 1);
        EXPECT_GE(shown->font().pixelSize(), 10);
    }
    EXPECT_EQ(field->geometry(), QRect(72, 12, 165, 32));
    EXPECT_EQ(field->font().pixelSize(), 19);
    EXPECT_FALSE(Part<QLabel>(*form, "Label7")->isHidden());
}

TEST_F(WindowLayoutTest, FieldsAndOptionsStartAsDesigned) {
    EXPECT_TRUE(Part<QLineEdit>(*form, "Edit7")->isReadOnly());
    EXPECT_EQ(Part<QLineEdit>(*form, "Edit7")->font().pixelSize(), 19);
    EXPECT_EQ(Part<QLabel>(*form, "Label7")->font().pixelSize(), 19);
    EXPECT_EQ(Part<QLineEdit>(*form, "Edit7")->palette().color(QPalette::Base), QColor(245, 240, 255));
    EXPECT_EQ(Part<QLineEdit>(*form, "Edit7")->palette().color(QPalette::Text), QColor(0, 0, 128));

    EXPECT_EQ(Part<QLineEdit>(*form, "Edit4")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(
        Part<QLineEdit>(*form, "Edit4")
            ->style()
            ->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, Part<QLineEdit>(*form, "Edit4")),
        '*');

    EXPECT_FALSE(Part<TFilenameEdit>(*form, "FilenameEdit1")->isEnabled());
    EXPECT_EQ(Part<TFilenameEdit>(*form, "FilenameEdit1")->Filter(), "HTML Files|*.htm;*.html");

    EXPECT_TRUE(Part<TPCheck>(*form, "PCheck1")->Checked());
    EXPECT_TRUE(Part<TPCheck>(*form, "PCheck1")->Flat());
    EXPECT_EQ(Part<TPCheck>(*form, "PCheck1")->Alingment(), taLeftJustify);
    EXPECT_EQ(Part<TPCheck>(*form, "PCheck1")->ImageType(), igHookLime);
    EXPECT_TRUE(Part<TPCheck>(*form, "PCheck2")->Checked());
    EXPECT_FALSE(Part<TPCheck>(*form, "PCheck3")->Checked());
    EXPECT_FALSE(Part<TPCheck>(*form, "PCheck4")->Checked());
    EXPECT_TRUE(Part<TPCheck>(*form, "PCheck5")->Checked());
    EXPECT_EQ(Part<TPCheck>(*form, "PCheck5")->ImageType(), igHookLime);
    for (TPCheck* check : {Part<TPCheck>(*form, "PCheck2"), Part<TPCheck>(*form, "PCheck3"),
                           Part<TPCheck>(*form, "PCheck4")}) {
        EXPECT_EQ(check->ImageType(), igCirce);
        EXPECT_EQ(check->Alingment(), taRightJustify);
        EXPECT_FALSE(check->Flat());
    }
    for (TPCheck* check :
         {Part<TPCheck>(*form, "PCheck1"), Part<TPCheck>(*form, "PCheck2"), Part<TPCheck>(*form, "PCheck3"),
          Part<TPCheck>(*form, "PCheck4"), Part<TPCheck>(*form, "PCheck5")}) {
        EXPECT_TRUE(check->Transparent());
        EXPECT_EQ(check->ShowFocused(), check == Part<TPCheck>(*form, "PCheck5"));
    }
    for (TvelColorButton* button :
         {Part<TvelColorButton>(*form, "velColorButton1"), Part<TvelColorButton>(*form, "velColorButton2"),
          Part<TvelColorButton>(*form, "velColorButton3"), Part<TvelColorButton>(*form, "velColorButton4")}) {
        EXPECT_FALSE(button->BackBitmap().isNull());
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
    }
}

TEST_F(WindowLayoutTest, TabGoesThroughTheFieldsInOrder) {
    const std::vector<QWidget*> expected{Part<QLineEdit>(*form, "Edit1"),
                                         Part<QLineEdit>(*form, "Edit2"),
                                         Part<QLineEdit>(*form, "Edit3"),
                                         Part<QLineEdit>(*form, "Edit4"),
                                         Part<QLineEdit>(*form, "Edit5"),
                                         Part<QLineEdit>(*form, "Edit6"),
                                         Part<TFilenameEdit>(*form, "FilenameEdit1"),
                                         Part<TPCheck>(*form, "PCheck1"),
                                         Part<TPCheck>(*form, "PCheck2"),
                                         Part<TPCheck>(*form, "PCheck3"),
                                         Part<TPCheck>(*form, "PCheck4"),
                                         Part<QLineEdit>(*form, "Edit7"),
                                         Part<TPCheck>(*form, "PCheck5")};
    std::vector<QWidget*> order;
    QWidget* widget = Part<QLineEdit>(*form, "Edit1");
    do {
        if ((widget->focusPolicy() & Qt::TabFocus) && widget->window() == form.get() &&
            widget != form.get() && (widget->parentWidget() == form.get())) {
            order.push_back(widget);
        }
        widget = widget->nextInFocusChain();
    } while (widget != Part<QLineEdit>(*form, "Edit1") && order.size() < 40);
    EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace signposter::ui
