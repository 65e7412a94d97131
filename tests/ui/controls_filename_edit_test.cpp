// TFilenameEdit: the file-name rules, the browse button through a dialog hook, keys and layout.
#include "ui/controls/filename_edit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace signposter::ui {
namespace {

class FilenameEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_root = m_dir.path() + QLatin1Char('/');
        ASSERT_TRUE(QDir().mkpath(m_root + QStringLiteral("My Pages")));
        ASSERT_TRUE(QDir().mkpath(m_root + QStringLiteral("Pages")));
        Touch(m_root + QStringLiteral("My Pages/home.htm"));
        Touch(m_root + QStringLiteral("Pages/home.htm"));

        m_window = std::make_unique<QWidget>();
        m_window->resize(260, 120);
        m_edit = new TFilenameEdit(m_window.get());
        m_edit->setGeometry(8, 30, 233, 21);
        m_edit->SetFilter(QStringLiteral("HTML Files|*.htm;*.html"));
        m_edit->SetDialogHook([this](TFileDialogRequest& request) {
            m_requests.push_back(request);
            if (!m_answer.isEmpty()) {
                request.fileName = m_answer;
                return true;
            }
            return false;
        });
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
    }

    static void Touch(const QString& path) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    QTemporaryDir m_dir;
    QString m_root;
    std::unique_ptr<QWidget> m_window;
    TFilenameEdit* m_edit = nullptr;
    std::vector<TFileDialogRequest> m_requests;
    QString m_answer;  // empty: the dialog is cancelled
};

TEST_F(FilenameEditTest, NameFromTextRules) {
    const QString existing = m_root + QStringLiteral("My Pages/home.htm");
    // An existing file's whole text is the name, spaces and all.
    EXPECT_EQ(NameFromText(existing), existing);
    // Otherwise the first argument: a quoted run keeps its spaces, the quotes go.
    EXPECT_EQ(NameFromText(QLatin1Char('"') + existing + QLatin1Char('"')), existing);
    EXPECT_EQ(NameFromText(m_root + QStringLiteral("My Missing/x.htm")), m_root + QStringLiteral("My"));
    EXPECT_EQ(NameFromText(QStringLiteral("  \t page.htm rest")), QStringLiteral("page.htm"));
    EXPECT_EQ(NameFromText(QStringLiteral("\"\"\"\"a b")), QStringLiteral("a"));
    EXPECT_EQ(NameFromText(QStringLiteral("\"/x/My Pages\"/home.htm tail")),
              QStringLiteral("/x/My Pages/home.htm"));
    EXPECT_EQ(NameFromText(QStringLiteral("\"unterminated run")), QStringLiteral("unterminated run"));
    EXPECT_EQ(NameFromText(QString()), QString());
    EXPECT_EQ(NameFromText(QStringLiteral("   ")), QString());
    // No 256-character cut: a long path survives whole.
    const QString longName = QStringLiteral("/") + QString(400, QLatin1Char('a'));
    EXPECT_EQ(NameFromText(longName), longName);

    EXPECT_EQ(TextFromName(QStringLiteral("/a b/c.htm")), QStringLiteral("\"/a b/c.htm\""));
    EXPECT_EQ(TextFromName(QStringLiteral("\"/a b/c.htm\"")), QStringLiteral("\"/a b/c.htm\""));
    EXPECT_EQ(TextFromName(QStringLiteral("/ab/c.htm")), QStringLiteral("/ab/c.htm"));

    for (const char* bad : {"a<b", "a>b", "a\"b", "a[b", "a]b", "a|b", ""}) {
        EXPECT_FALSE(IsValidFileName(QString::fromLatin1(bad))) << bad;
    }
    EXPECT_TRUE(IsValidFileName(QStringLiteral("/tmp/ok name.htm")));
}

TEST_F(FilenameEditTest, FileNamePropertyQuotesAndRejectsInvalidNames) {
    m_edit->SetText(QStringLiteral("keep.htm"));
    try {
        m_edit->SetFileName(QStringLiteral("/x/a[1].htm"));
        FAIL() << "no error";
    } catch (const EComboEditError& error) {
        EXPECT_STREQ(error.what(), "Invalid file name - /x/a[1].htm");
        EXPECT_STREQ(error.ClassName(), "EComboEditError");
    }
    EXPECT_EQ(m_edit->Text(), QStringLiteral("keep.htm"));
    EXPECT_THROW(m_edit->SetFileName(QStringLiteral("a|b")), EComboEditError);

    m_edit->SetFileName(QStringLiteral("/x/My Pages/home.htm"));
    EXPECT_EQ(m_edit->Text(), QStringLiteral("\"/x/My Pages/home.htm\""));
    EXPECT_EQ(m_edit->FileName(), QStringLiteral("/x/My Pages/home.htm"));
    m_edit->SetFileName(QString());
    EXPECT_EQ(m_edit->Text(), QString());
}

TEST_F(FilenameEditTest, DialogRequestCarriesTitleFilterAndHiddenReadOnlyBox) {
    m_edit->DoClick();
    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].title, QStringLiteral("Browse"));
    EXPECT_EQ(m_requests[0].filter, QStringLiteral("HTML Files|*.htm;*.html"));
    EXPECT_EQ(m_requests[0].filterIndex, 1);
    EXPECT_EQ(m_requests[0].kind, dkOpen);
    EXPECT_TRUE(m_requests[0].options & ofHideReadOnly);
}

TEST_F(FilenameEditTest, DialogStartsInTheFolderOfTheNameWithTheFilePreselected) {
    const QString myPages = m_root + QStringLiteral("My Pages/");
    m_edit->SetText(QLatin1Char('"') + myPages + QStringLiteral("home.htm\""));
    m_edit->DoClick();
    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].initialDir, myPages);
    EXPECT_EQ(m_requests[0].fileName, myPages + QStringLiteral("home.htm"));

    // Unquoted and existing: the whole text.
    m_edit->SetText(myPages + QStringLiteral("home.htm"));
    m_edit->DoClick();
    EXPECT_EQ(m_requests[1].fileName, myPages + QStringLiteral("home.htm"));

    // Unquoted and missing: the first word, in its folder.
    m_edit->SetText(m_root + QStringLiteral("My Pages/gone.htm"));
    m_edit->DoClick();
    EXPECT_EQ(m_requests[2].initialDir, m_root);
    EXPECT_EQ(m_requests[2].fileName, m_root + QStringLiteral("My"));

    // A trailing separator: that folder, no file name.
    m_edit->SetText(m_root + QStringLiteral("Pages/"));
    m_edit->DoClick();
    EXPECT_EQ(m_requests[3].initialDir, m_root + QStringLiteral("Pages/"));
    EXPECT_EQ(m_requests[3].fileName, QString());

    // Invalid names and an empty field keep the previous browse's file name and folder.
    m_edit->SetText(m_root + QStringLiteral("Pages/home.htm"));
    m_edit->DoClick();
    m_edit->SetText(QStringLiteral("/nowhere/[x].htm"));
    m_edit->DoClick();
    EXPECT_EQ(m_requests[5].initialDir, m_root + QStringLiteral("Pages/"));
    EXPECT_EQ(m_requests[5].fileName, m_root + QStringLiteral("Pages/home.htm"));
    m_edit->SetText(QString());
    m_edit->DoClick();
    EXPECT_EQ(m_requests[6].fileName, m_root + QStringLiteral("Pages/home.htm"));
}

TEST_F(FilenameEditTest, ConfirmedDialogWritesTheNameAndRemembersTheFolder) {
    const QString chosen = m_root + QStringLiteral("My Pages/home.htm");
    m_answer = chosen;
    m_edit->DoClick();
    EXPECT_EQ(m_edit->Text(), QLatin1Char('"') + chosen + QLatin1Char('"'));
    EXPECT_EQ(m_edit->InitialDir(), m_root + QStringLiteral("My Pages/"));
    EXPECT_TRUE(m_edit->hasFocus());

    m_answer = m_root + QStringLiteral("Pages/home.htm");
    m_edit->DoClick();
    EXPECT_EQ(m_edit->Text(), m_root + QStringLiteral("Pages/home.htm"));
    EXPECT_EQ(m_edit->DialogFiles(), QStringList{m_answer});

    // Writing FileName forgets the chosen files but not the name the next browse preselects.
    m_edit->SetFileName(QStringLiteral("/other.htm"));
    EXPECT_TRUE(m_edit->DialogFiles().isEmpty());
    EXPECT_EQ(m_edit->DialogFileName(), m_answer);

    // Cancelled: text and folder stay.
    m_answer.clear();
    m_edit->SetText(QStringLiteral("keep"));
    const QString folder = m_edit->InitialDir();
    m_edit->DoClick();
    EXPECT_EQ(m_edit->Text(), QStringLiteral("keep"));
    EXPECT_EQ(m_edit->InitialDir(), folder);
}

TEST_F(FilenameEditTest, EventsMayChangeTheNameOrCancel) {
    QSignalSpy buttonClicks(m_edit, &TFilenameEdit::OnButtonClick);
    m_edit->OnBeforeDialog = [](TFilenameEdit*, QString&, bool& action) { action = false; };
    m_edit->DoClick();
    EXPECT_EQ(buttonClicks.count(), 1);
    EXPECT_TRUE(m_requests.empty());

    m_edit->OnBeforeDialog = [](TFilenameEdit*, QString& name, bool&) { name = QStringLiteral("/a/b.htm"); };
    m_edit->OnAfterDialog = [](TFilenameEdit*, QString& name, bool& action) {
        name = QStringLiteral("/chosen by handler.htm");
        action = true;
    };
    m_edit->DoClick();
    ASSERT_EQ(m_requests.size(), 1u);
    EXPECT_EQ(m_requests[0].fileName, QStringLiteral("/a/b.htm"));
    EXPECT_EQ(m_edit->Text(), QStringLiteral("\"/chosen by handler.htm\""));
}

TEST_F(FilenameEditTest, FilesDroppedFromTheDesktopOnlyWithAcceptFiles) {
    // What a file manager offers: the file as a URL and, beside it, as text.
    const QString path = m_root + QStringLiteral("My Pages/home.htm");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(path)});
    files.setText(QUrl::fromLocalFile(path).toString());
    const QPoint at(20, 10);
    auto offered = [&](QMimeData& data) {
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_edit, &enter);
        if (enter.isAccepted()) {
            QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(m_edit, &drop);
        }
        return enter.isAccepted();
    };

    ASSERT_FALSE(m_edit->AcceptFiles());
    EXPECT_FALSE(offered(files));
    EXPECT_EQ(m_edit->Text(), QString());
    // Text dragged from another field is still welcome.
    QMimeData text;
    text.setText(QStringLiteral("typed.htm"));
    EXPECT_TRUE(offered(text));
    EXPECT_EQ(m_edit->Text(), QStringLiteral("typed.htm"));

    m_edit->SetAcceptFiles(true);
    EXPECT_TRUE(offered(files));
    EXPECT_EQ(m_edit->Text(), QLatin1Char('"') + path + QLatin1Char('"'));
}

TEST_F(FilenameEditTest, ClickKeyMouseAndTheBlockingStates) {
    m_edit->setFocus();
    QTest::keyClick(m_edit, Qt::Key_Down, Qt::AltModifier);
    EXPECT_EQ(m_requests.size(), 1u);
    QTest::mouseClick(m_edit->Button(), Qt::LeftButton);
    EXPECT_EQ(m_requests.size(), 2u);
    // The keypad's arrow (Num Lock off) is the same key.
    QTest::keyClick(m_edit, Qt::Key_Down, Qt::AltModifier | Qt::KeypadModifier);
    EXPECT_EQ(m_requests.size(), 3u);
    m_requests.pop_back();

    // Read-only blocks the button and the key; DirectInput off blocks typing only.
    m_edit->SetReadOnly(true);
    QTest::keyClick(m_edit, Qt::Key_Down, Qt::AltModifier);
    m_edit->DoClick();
    EXPECT_EQ(m_requests.size(), 2u);
    m_edit->SetReadOnly(false);
    m_edit->SetDirectInput(false);
    m_edit->SetText(QString());
    QTest::keyClicks(m_edit, QStringLiteral("typed"));
    EXPECT_EQ(m_edit->Text(), QString());
    m_answer = QStringLiteral("/from/dialog.htm");
    m_edit->DoClick();
    EXPECT_EQ(m_edit->Text(), QStringLiteral("/from/dialog.htm"));
    m_edit->SetDirectInput(true);
    QTest::keyClicks(m_edit, QStringLiteral("x"));
    EXPECT_TRUE(m_edit->Text().endsWith(QLatin1Char('x')));

    // Disabled: neither the field nor the button reacts, and Alt+Down does nothing.
    const size_t before = m_requests.size();
    m_edit->setEnabled(false);
    EXPECT_FALSE(m_edit->Button()->isEnabled());
    QTest::keyClick(m_edit, Qt::Key_Down, Qt::AltModifier);
    QTest::mouseClick(m_edit->Button(), Qt::LeftButton);
    EXPECT_EQ(m_requests.size(), before);
}

TEST_F(FilenameEditTest, ButtonSitsInsideTheRightEdgeAndTheTextStopsBeforeIt) {
    // 233 x 21 with the sunken border: the button is 21 x 17 at client x 208 (widget x 210).
    EXPECT_EQ(m_edit->ButtonWidth(), 21);
    EXPECT_EQ(m_edit->Button()->geometry(), QRect(210, 2, 21, 17));
    const QMargins margins = m_edit->textMargins();
    EXPECT_EQ(233 - margins.left() - margins.right(), 206);

    const QImage button = m_edit->Button()->grab().toImage();
    const QPalette& palette = m_edit->Button()->palette();
    EXPECT_EQ(button.pixel(0, 0), palette.color(QPalette::Button).rgb());
    EXPECT_EQ(button.pixel(0, 15), palette.color(QPalette::Button).rgb());
    EXPECT_EQ(button.pixel(1, 1), palette.color(QPalette::Light).rgb());
    EXPECT_EQ(button.pixel(1, 14), palette.color(QPalette::Light).rgb());
    // The folder glyph (14 x 12) is centred: its black outline shows, its magenta does not.
    bool black = false;
    for (int y = 0; y < button.height(); ++y) {
        for (int x = 0; x < button.width(); ++x) {
            EXPECT_NE(button.pixel(x, y), qRgb(255, 0, 255));
            black = black || button.pixel(x, y) == qRgb(0, 0, 0);
        }
    }
    EXPECT_TRUE(black);

    // Disabled: the same border and button frame, the glyph greyed (no yellow left), the text grey.
    m_edit->SetText(QStringLiteral("text"));
    const QImage enabledField = m_edit->grab().toImage();
    m_edit->setEnabled(false);
    const QImage disabledField = m_edit->grab().toImage();
    const QImage disabledButton = m_edit->Button()->grab().toImage();
    for (const QPoint p : {QPoint(0, 0), QPoint(1, 1), QPoint(232, 20), QPoint(231, 19)}) {
        EXPECT_EQ(disabledField.pixel(p), enabledField.pixel(p)) << p.x() << "," << p.y();
    }
    EXPECT_EQ(disabledButton.pixel(1, 1), button.pixel(1, 1));
    for (int y = 0; y < disabledButton.height(); ++y) {
        for (int x = 0; x < disabledButton.width(); ++x) {
            EXPECT_NE(disabledButton.pixel(x, y), qRgb(255, 255, 0));
        }
    }
    m_edit->setEnabled(true);

    // Never lower than the text height + 5.
    m_edit->resize(233, 4);
    EXPECT_GE(m_edit->height(), QFontMetrics(m_edit->font()).height() + 5);
}

// The real modal dialog, driven from inside its own event loop.
TEST_F(FilenameEditTest, RealDialogShowsTitleFilterFolderAndName) {
    m_edit->SetDialogHook({});
    const QString myPages = m_root + QStringLiteral("My Pages");
    const QString chosen = myPages + QStringLiteral("/home.htm");
    m_edit->SetText(QLatin1Char('"') + chosen + QLatin1Char('"'));
    QString title;
    QStringList filters;
    QString folder;
    QStringList selected;
    auto inspect = [&](bool confirm) {
        QTimer::singleShot(0, m_edit, [&, confirm] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            filters = dialog->nameFilters();
            folder = dialog->directory().absolutePath();
            selected = dialog->selectedFiles();
            QDialog* asDialog = dialog;
            confirm ? asDialog->accept() : asDialog->reject();
        });
    };
    inspect(false);
    m_edit->DoClick();
    EXPECT_EQ(title, QStringLiteral("Browse"));
    EXPECT_EQ(filters, QStringList{QStringLiteral("HTML Files (*.htm *.html)")});
    EXPECT_EQ(folder, myPages);
    EXPECT_EQ(selected, QStringList{chosen});
    EXPECT_EQ(m_edit->Text(), QLatin1Char('"') + chosen + QLatin1Char('"'));

    m_edit->SetText(QStringLiteral("other"));
    inspect(true);
    m_edit->DoClick();
    // "other" names no file: the dialog keeps the folder of the last browse and preselects "other".
    EXPECT_EQ(folder, myPages);
    EXPECT_EQ(m_edit->Text(), TextFromName(selected.value(0)));
}

}  // namespace
}  // namespace signposter::ui
