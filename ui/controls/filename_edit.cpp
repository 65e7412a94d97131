#include "ui/controls/filename_edit.h"

#include "platform/files.h"
#include "ui/controls/control_resources.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace signposter::ui {
namespace {

constexpr QChar kQuote = QLatin1Char('"');
constexpr QChar kSeparator = QLatin1Char('/');

// "Description|*.a;*.b|..." -> Qt's "Description (*.a *.b)" entries.
QStringList QtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        result.append(parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return result;
}

QString FolderPart(const QString& name) {
    const qsizetype slash = name.lastIndexOf(kSeparator);
    return slash < 0 ? QString() : name.left(slash + 1);
}

QString FilePart(const QString& name) {
    const qsizetype slash = name.lastIndexOf(kSeparator);
    return slash < 0 ? name : name.mid(slash + 1);
}

const QImage& FolderGlyph() {
    static const QImage glyph = LoadTransparentBitmap(QStringLiteral("FEDITBMP"));
    return glyph;
}

// Glyph drawn greyed: its shape engraved, highlight one pixel right and down, shadow in place.
QImage Engraved(const QImage& glyph, const QColor& colour) {
    QImage result = glyph.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            if (qAlpha(result.pixel(x, y)) != 0) {
                result.setPixel(x, y, colour.rgb());
            }
        }
    }
    return result;
}

}  // namespace

// The browse button inside the field's right edge.
class TFilenameEditButton : public QAbstractButton {
public:
    explicit TFilenameEditButton(TFilenameEdit* edit) : QAbstractButton(edit), m_edit(edit) {
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::ArrowCursor);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && (m_edit->focusPolicy() & Qt::TabFocus) &&
            m_edit->isEnabled() && m_edit->isVisible() && !m_edit->hasFocus()) {
            m_edit->setFocus(Qt::MouseFocusReason);
        }
        QAbstractButton::mousePressEvent(event);
    }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QPalette& pal = palette();
        const int w = width();
        const int h = height();
        const bool down = isDown();
        painter.fillRect(rect(), pal.color(QPalette::Active, QPalette::Button));
        if (w >= 2 && h >= 2) {
            if (down) {
                painter.setPen(pal.color(QPalette::Active, QPalette::Dark));
                painter.drawRect(0, 0, w - 1, h - 1);
            } else {
                // Raised: light outer and inner edges at the top left, black and grey at the bottom right.
                painter.fillRect(QRect(0, 0, w - 1, 1), pal.color(QPalette::Active, QPalette::Light));
                painter.fillRect(QRect(0, 0, 1, h - 1), pal.color(QPalette::Active, QPalette::Light));
                painter.fillRect(QRect(0, h - 1, w, 1), pal.color(QPalette::Active, QPalette::Shadow));
                painter.fillRect(QRect(w - 1, 0, 1, h), pal.color(QPalette::Active, QPalette::Shadow));
                painter.fillRect(QRect(1, 1, w - 3, 1), pal.color(QPalette::Active, QPalette::Midlight));
                painter.fillRect(QRect(1, 1, 1, h - 3), pal.color(QPalette::Active, QPalette::Midlight));
                painter.fillRect(QRect(1, h - 2, w - 2, 1), pal.color(QPalette::Active, QPalette::Dark));
                painter.fillRect(QRect(w - 2, 1, 1, h - 2), pal.color(QPalette::Active, QPalette::Dark));
            }
        }
        const QImage glyph = m_edit->CurrentGlyph();
        if (!glyph.isNull()) {
            const int x = (w - glyph.width()) / 2 + (down ? 1 : 0);
            const int y = (h - glyph.height()) / 2 + (down ? 1 : 0);
            if (isEnabled()) {
                painter.drawImage(x, y, glyph);
            } else {
                painter.drawImage(x + 1, y + 1,
                                  Engraved(glyph, pal.color(QPalette::Active, QPalette::Light)));
                painter.drawImage(x, y, Engraved(glyph, pal.color(QPalette::Active, QPalette::Dark)));
            }
        }
        if (!down && h >= 2) {
            // Two lines over the left edge let the button blend into the field's text area.
            painter.fillRect(QRect(0, 0, 1, h - 1), pal.color(QPalette::Active, QPalette::Button));
            if (h >= 3) {
                painter.fillRect(QRect(1, 1, 1, h - 3), pal.color(QPalette::Active, QPalette::Light));
            }
        }
    }

private:
    TFilenameEdit* m_edit;
};

TFilenameEdit::TFilenameEdit(QWidget* parent) : QLineEdit(parent), m_button(new TFilenameEditButton(this)) {
    m_dialog.title = QStringLiteral("Browse");
    m_dialog.filter = QStringLiteral("All files (*.*)|*.*");
    m_clickKey = QKeySequence(Qt::ALT | Qt::Key_Down);
    setFrame(false);  // the border is drawn here, so its pixels and the button's place are ours
    m_button->setToolTip(QString());
    connect(m_button, &QAbstractButton::clicked, this, [this] { ButtonPressed(); });
    connect(this, &QLineEdit::textChanged, this, [this] { emit OnChange(); });
    SetGlyphKind(gkDefault);
    resize(121, 21);
    UpdateLayout();
}

TFilenameEdit::~TFilenameEdit() = default;

QString TFilenameEdit::FileName() const {
    return NameFromText(text());
}

void TFilenameEdit::SetFileName(const QString& name) {
    if (!name.isEmpty() && !IsValidFileName(NameFromText(name))) {
        throw EComboEditError("Invalid file name - " + name.toStdString());
    }
    setText(TextFromName(name));
    m_dialog.files.clear();
}

void TFilenameEdit::SetDirectInput(bool directInput) {
    m_directInput = directInput;
    // Read-only to the keyboard, paste and cut; the dialog and the program still write the text.
    setReadOnly(m_readOnly || !m_directInput);
}

void TFilenameEdit::SetReadOnly(bool readOnly) {
    m_readOnly = readOnly;
    setReadOnly(m_readOnly || !m_directInput);
}

void TFilenameEdit::SetGlyphKind(TGlyphKind kind) {
    m_glyphKind = kind;
    const QImage glyph = CurrentGlyph();
    if (!glyph.isNull()) {
        m_buttonWidth = std::max(m_buttonWidth, glyph.width() + 6);
    }
    UpdateLayout();
    m_button->update();
}

void TFilenameEdit::SetGlyph(const QImage& glyph) {
    m_customGlyph = WithBottomLeftTransparent(glyph);
    SetGlyphKind(gkCustom);
}

void TFilenameEdit::SetNumGlyphs(int count) {
    m_numGlyphs = std::clamp(count, 1, 4);
    SetGlyphKind(m_glyphKind);
}

void TFilenameEdit::SetButtonWidth(int width) {
    m_buttonWidth = std::max(0, width);
    UpdateLayout();
}

QString TFilenameEdit::ButtonHint() const {
    return m_button->toolTip();
}

void TFilenameEdit::SetButtonHint(const QString& hint) {
    m_button->setToolTip(hint);
}

void TFilenameEdit::SetAcceptFiles(bool accept) {
    m_acceptFiles = accept;
    if (accept) {
        setAcceptDrops(true);
    }
}

void TFilenameEdit::SetBorder(TEditBorder border) {
    m_border = border;
    UpdateLayout();
    update();
}

QWidget* TFilenameEdit::Button() const {
    return m_button;
}

void TFilenameEdit::DoClick() {
    ButtonPressed();
}

QImage TFilenameEdit::CurrentGlyph() const {
    switch (m_glyphKind) {
        case gkCustom:
            if (m_customGlyph.isNull()) {
                return {};
            }
            return m_customGlyph.copy(0, 0, m_customGlyph.width() / m_numGlyphs, m_customGlyph.height());
        case gkDropDown: {
            QImage arrow(7, 4, QImage::Format_ARGB32);
            arrow.fill(Qt::transparent);
            for (int row = 0; row < 4; ++row) {
                for (int x = row; x < 7 - row; ++x) {
                    arrow.setPixel(x, row, qRgb(0, 0, 0));
                }
            }
            return arrow;
        }
        case gkEllipsis: {
            QImage dots(8, 2, QImage::Format_ARGB32);
            dots.fill(Qt::transparent);
            for (int dot = 0; dot < 3; ++dot) {
                for (int y = 0; y < 2; ++y) {
                    for (int x = 0; x < 2; ++x) {
                        dots.setPixel(dot * 3 + x, y, qRgb(0, 0, 0));
                    }
                }
            }
            return dots;
        }
        case gkDefault:
        default:
            return FolderGlyph();
    }
}

int TFilenameEdit::BorderWidth() const {
    switch (m_border) {
        case ebSunken:
            return 2;
        case ebFlat:
            return 1;
        case ebNone:
        default:
            return 0;
    }
}

void TFilenameEdit::UpdateLayout() {
    const int border = BorderWidth();
    const int w = width();
    const int h = height();
    QRect button;  // in the client area, which starts inside the border
    switch (m_border) {
        case ebSunken:
            button = QRect(w - m_buttonWidth - 4, 0, m_buttonWidth, h - 4);
            break;
        case ebFlat:
            button = QRect(w - m_buttonWidth - 2, 2, m_buttonWidth, h - 4);
            break;
        case ebNone:
        default:
            button = QRect(w - m_buttonWidth, 0, m_buttonWidth, h);
            break;
    }
    m_button->setGeometry(button.translated(border, border));
    m_button->setVisible(m_buttonWidth > 0);
    // The text never runs under the button: the text area ends two pixels before it.
    setTextMargins(border, border, border + m_buttonWidth + 2, border);

    const QFontMetrics fieldMetrics(font());
    const QFontMetrics systemMetrics(QApplication::font());
    setMinimumHeight(std::min(fieldMetrics.height(), systemMetrics.height()) + 4 * 1 + 1);
}

void TFilenameEdit::ButtonPressed() {
    if (m_readOnly) {
        return;
    }
    QPointer<TFilenameEdit> self(this);
    emit OnButtonClick();
    if (self.isNull()) {
        return;
    }
    QString name = NameFromText(text());
    bool action = true;
    if (OnBeforeDialog) {
        OnBeforeDialog(this, name, action);
    }
    if (!action) {
        return;
    }
    if (IsValidFileName(name)) {
        const QString folder = FolderPart(name);
        if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
            m_dialog.initialDir = folder;
        }
        const QString file = FilePart(name);
        if (file.isEmpty() || !IsValidFileName(file)) {
            name.clear();
        }
        m_dialog.fileName = name;
    }

    TFileDialogRequest request = m_dialog;
    request.files.clear();
    action = RunDialog(request);
    if (self.isNull()) {
        return;
    }
    if (action) {
        m_dialog.fileName = request.fileName;
        m_dialog.files = request.files.isEmpty() ? QStringList{request.fileName} : request.files;
        m_dialog.filterIndex = request.filterIndex;
        name = request.fileName;
    }
    if (isEnabled() && isVisible() && focusPolicy() != Qt::NoFocus) {
        setFocus(Qt::OtherFocusReason);
    }
    if (OnAfterDialog) {
        OnAfterDialog(this, name, action);
    }
    if (action) {
        setText(TextFromName(name));
        m_dialog.initialDir = FolderPart(m_dialog.fileName);
    }
}

bool TFilenameEdit::RunDialog(TFileDialogRequest& request) {
    if (m_dialogHook) {
        return m_dialogHook(request);
    }
    QFileDialog dialog(this, request.title, request.initialDir);
    const bool save = request.kind == dkSave || request.kind == dkSavePicture;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save || !(request.options & ofFileMustExist) ? QFileDialog::AnyFile
                                                                    : QFileDialog::ExistingFile);
    const QStringList filters = QtNameFilters(request.filter);
    dialog.setNameFilters(filters);
    // Show "HTML Files", not the patterns behind it.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    if (request.filterIndex >= 1 && request.filterIndex <= filters.size()) {
        dialog.selectNameFilter(filters[request.filterIndex - 1]);
    }
    if (!request.defaultExt.isEmpty()) {
        dialog.setDefaultSuffix(request.defaultExt);
    }
    if (!request.history.isEmpty()) {
        dialog.setHistory(request.history);
    }
    if (!request.fileName.isEmpty()) {
        dialog.selectFile(request.fileName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return false;
    }
    request.files = dialog.selectedFiles();
    request.fileName = request.files.constFirst();
    const qsizetype chosenFilter = filters.indexOf(dialog.selectedNameFilter());
    if (chosenFilter >= 0) {
        request.filterIndex = int(chosenFilter) + 1;
    }
    return true;
}

void TFilenameEdit::keyPressEvent(QKeyEvent* event) {
    // The arrow of the numeric keypad is the same key to the user: compare without the keypad flag.
    const QKeyCombination pressed(event->modifiers() & ~Qt::KeypadModifier, Qt::Key(event->key()));
    if (!m_clickKey.isEmpty() && pressed == m_clickKey[0]) {
        event->accept();
        if (m_buttonWidth > 0) {
            ButtonPressed();
        }
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TFilenameEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    UpdateLayout();
}

void TFilenameEdit::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    const int w = width();
    const int h = height();
    if (m_border == ebNone || w < 4 || h < 4) {
        return;
    }
    // The border keeps its colours when disabled; only the text and the glyph turn grey.
    QPainter painter(this);
    const QPalette& pal = palette();
    if (m_border == ebFlat) {
        painter.setPen(pal.color(QPalette::Active, QPalette::Shadow));
        painter.drawRect(0, 0, w - 1, h - 1);
        return;
    }
    // Sunken three-dimensional edge: shadow then dark shadow at the top left, highlight then the
    // light face colour at the bottom right.
    painter.fillRect(QRect(0, 0, w - 1, 1), pal.color(QPalette::Active, QPalette::Dark));
    painter.fillRect(QRect(0, 0, 1, h - 1), pal.color(QPalette::Active, QPalette::Dark));
    painter.fillRect(QRect(0, h - 1, w, 1), pal.color(QPalette::Active, QPalette::Light));
    painter.fillRect(QRect(w - 1, 0, 1, h), pal.color(QPalette::Active, QPalette::Light));
    painter.fillRect(QRect(1, 1, w - 3, 1), pal.color(QPalette::Active, QPalette::Shadow));
    painter.fillRect(QRect(1, 1, 1, h - 3), pal.color(QPalette::Active, QPalette::Shadow));
    painter.fillRect(QRect(1, h - 2, w - 2, 1), pal.color(QPalette::Active, QPalette::Button));
    painter.fillRect(QRect(w - 2, 1, 1, h - 2), pal.color(QPalette::Active, QPalette::Button));
}

void TFilenameEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UpdateLayout();
    }
}

void TFilenameEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    const bool byKeyboard =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    if (byKeyboard && !m_autoSelect) {
        deselect();
    }
}

void TFilenameEdit::dragEnterEvent(QDragEnterEvent* event) {
    // Files from the desktop are taken only with AcceptFiles; without it the line edit would paste their
    // URLs ("file:///...") as text, which names no file. Plain text drags go on as in any field.
    if (OffersLocalFile(event->mimeData())) {
        event->setAccepted(m_acceptFiles && !m_readOnly);
        if (event->isAccepted()) {
            event->acceptProposedAction();
        }
        return;
    }
    QLineEdit::dragEnterEvent(event);
}

void TFilenameEdit::dragMoveEvent(QDragMoveEvent* event) {
    if (OffersLocalFile(event->mimeData())) {
        event->setAccepted(m_acceptFiles && !m_readOnly);
        if (event->isAccepted()) {
            event->acceptProposedAction();
        }
        return;
    }
    QLineEdit::dragMoveEvent(event);
}

void TFilenameEdit::dropEvent(QDropEvent* event) {
    if (OffersLocalFile(event->mimeData())) {
        if (!m_acceptFiles || m_readOnly) {
            event->ignore();
            return;
        }
        for (const QUrl& url : event->mimeData()->urls()) {
            if (url.isLocalFile()) {
                setText(TextFromName(url.toLocalFile()));
                m_dialog.files.clear();
                event->acceptProposedAction();
                return;
            }
        }
    }
    QLineEdit::dropEvent(event);
}

bool TFilenameEdit::OffersLocalFile(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

QString NameFromText(const QString& text) {
    if (!text.isEmpty() && platform::FileExists(text.toStdString())) {
        return text;
    }
    // The first argument of a command line. No length limit: a long path is kept whole rather than cut.
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const char16_t c = text[i].unicode();
        if (c >= 1 && c <= 32) {
            ++i;
        } else if (c == '"' && i + 1 < n && text[i + 1] == kQuote) {
            i += 2;
        } else {
            break;
        }
    }
    QString name;
    bool quoted = false;
    for (; i < n; ++i) {
        const QChar c = text[i];
        if (c == kQuote) {
            quoted = !quoted;
            continue;
        }
        if (c.unicode() == 0 || (!quoted && c.unicode() <= 32)) {
            break;
        }
        name.append(c);
    }
    return name;
}

QString TextFromName(const QString& name) {
    if (name.contains(QLatin1Char(' ')) && !name.startsWith(kQuote)) {
        return kQuote + name + kQuote;
    }
    return name;
}

bool IsValidFileName(const QString& name) {
    if (name.isEmpty()) {
        return false;
    }
    for (const QChar c : name) {
        switch (c.unicode()) {
            case '<':
            case '>':
            case '"':
            case '[':
            case ']':
            case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace signposter::ui
