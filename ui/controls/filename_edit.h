#pragma once

#include "platform/exceptions.h"

#include <QImage>
#include <QLineEdit>
#include <QString>
#include <QStringList>

#include <functional>

class QMimeData;

// A single-line text field with a browse button inside its right edge. The user either types a file name
// or presses the button (or Alt+Down) to pick one in the file-open dialog; the chosen name is written
// into the field, wrapped in double quotes when it contains a space.
//
// Events: OnButtonClick() and OnChange() are Qt signals; OnBeforeDialog and OnAfterDialog are callbacks
// because they may change the name and cancel (Action). QObject::sender() is the sender of the signals.
namespace signposter::ui {

// Writing an unusable name to FileName: "Invalid file name - %s".
SIGNPOSTER_EXCEPTION_CLASS(EComboEditError, Exception);

enum TFileDialogKind { dkOpen, dkSave, dkOpenPicture, dkSavePicture };
enum TGlyphKind { gkCustom, gkDefault, gkDropDown, gkEllipsis };
// The field's border: three-dimensional sunken (the usual edit), flat single line, or none.
enum TEditBorder { ebSunken, ebFlat, ebNone };

// Options of the file dialog, as a set of bits.
enum TOpenOption : unsigned {
    ofReadOnly = 1u << 0,
    ofOverwritePrompt = 1u << 1,
    ofHideReadOnly = 1u << 2,
    ofFileMustExist = 1u << 3,
};

class TFilenameEdit;

// What the file dialog is asked to show, and (for a confirmed dialog) the file the user chose.
struct TFileDialogRequest {
    TFileDialogKind kind = dkOpen;
    QString title;
    QString filter;       // "Description|*.a;*.b|Other|*.c"
    int filterIndex = 1;  // 1-based
    QString initialDir;
    QString fileName;   // preselected on entry; the chosen full path on confirmation
    QStringList files;  // every file chosen (one for this dialog)
    QString defaultExt;
    unsigned options = ofHideReadOnly;
    QStringList history;
};

class TFilenameEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TFilenameEdit(QWidget* parent = nullptr);
    ~TFilenameEdit() override;

    // The field's characters, untouched.
    QString Text() const { return text(); }
    void SetText(const QString& text) { setText(text); }
    // Text read as a file name (a quoted name or the first word of the text, unless the whole text
    // names an existing file).
    QString FileName() const;
    // Raises EComboEditError for a name that cannot be a file name; the text is then unchanged.
    void SetFileName(const QString& name);

    QString Filter() const { return m_dialog.filter; }
    void SetFilter(const QString& filter) { m_dialog.filter = filter; }
    int FilterIndex() const { return m_dialog.filterIndex; }
    void SetFilterIndex(int index) { m_dialog.filterIndex = index; }
    QString DialogTitle() const { return m_dialog.title; }
    void SetDialogTitle(const QString& title) { m_dialog.title = title; }
    QString InitialDir() const { return m_dialog.initialDir; }
    void SetInitialDir(const QString& dir) { m_dialog.initialDir = dir; }
    unsigned DialogOptions() const { return m_dialog.options; }
    void SetDialogOptions(unsigned options) { m_dialog.options = options; }
    QString DefaultExt() const { return m_dialog.defaultExt; }
    void SetDefaultExt(const QString& ext) { m_dialog.defaultExt = ext; }
    QStringList HistoryList() const { return m_dialog.history; }
    void SetHistoryList(const QStringList& history) { m_dialog.history = history; }
    TFileDialogKind DialogKind() const { return m_dialog.kind; }
    void SetDialogKind(TFileDialogKind kind) { m_dialog.kind = kind; }
    // The dialog's current file name (what the next browse preselects unless the text says otherwise)
    // and the files of its last confirmation.
    QString DialogFileName() const { return m_dialog.fileName; }
    QStringList DialogFiles() const { return m_dialog.files; }

    bool DirectInput() const { return m_directInput; }
    void SetDirectInput(bool directInput);
    bool ReadOnly() const { return m_readOnly; }
    void SetReadOnly(bool readOnly);
    bool AutoSelect() const { return m_autoSelect; }
    void SetAutoSelect(bool autoSelect) { m_autoSelect = autoSelect; }
    QKeySequence ClickKey() const { return m_clickKey; }
    void SetClickKey(const QKeySequence& key) { m_clickKey = key; }
    TGlyphKind GlyphKind() const { return m_glyphKind; }
    void SetGlyphKind(TGlyphKind kind);
    // The image strip for gkCustom; its bottom-left colour is transparent.
    void SetGlyph(const QImage& glyph);
    int NumGlyphs() const { return m_numGlyphs; }
    void SetNumGlyphs(int count);
    int ButtonWidth() const { return m_buttonWidth; }
    void SetButtonWidth(int width);
    QString ButtonHint() const;
    void SetButtonHint(const QString& hint);
    bool AcceptFiles() const { return m_acceptFiles; }
    void SetAcceptFiles(bool accept);
    TEditBorder Border() const { return m_border; }
    void SetBorder(TEditBorder border);

    // The browse button (a child widget), for layout checks and tests.
    QWidget* Button() const;
    // Presses the browse button as a click on it would.
    void DoClick();
    // The image the button shows (without the disabled greying).
    QImage CurrentGlyph() const;

    // Event callbacks: may change `name` and `action` (false cancels before the dialog, or drops the
    // dialog's result after it).
    using DialogEvent = std::function<void(TFilenameEdit* sender, QString& name, bool& action)>;
    DialogEvent OnBeforeDialog;
    DialogEvent OnAfterDialog;

    // Replaces the modal dialog (tests): receives the request, fills `fileName` and returns whether the
    // user confirmed. Empty means the real dialog.
    using DialogHook = std::function<bool(TFileDialogRequest& request)>;
    void SetDialogHook(DialogHook hook) { m_dialogHook = std::move(hook); }

signals:
    void OnButtonClick();
    void OnChange();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class TFilenameEditButton;
    void ButtonPressed();
    bool RunDialog(TFileDialogRequest& request);
    void UpdateLayout();
    int BorderWidth() const;
    static bool OffersLocalFile(const QMimeData* data);

    TFileDialogRequest m_dialog;
    bool m_directInput = true;
    bool m_readOnly = false;
    bool m_autoSelect = true;
    QKeySequence m_clickKey;
    TGlyphKind m_glyphKind = gkDefault;
    QImage m_customGlyph;
    int m_numGlyphs = 1;
    int m_buttonWidth = 21;
    bool m_acceptFiles = false;
    TEditBorder m_border = ebSunken;
    class TFilenameEditButton* m_button = nullptr;
    DialogHook m_dialogHook;
};

// The file-name rules of the field, exposed for reuse and tests.
// Name from text: the text itself when a file of exactly that name exists, otherwise its first
// command-line argument (a double-quoted run may hold spaces).
QString NameFromText(const QString& text);
// Text from name: a name with a space that does not start with a double quote is quoted.
QString TextFromName(const QString& name);
// Not empty and none of < > " [ ] |.
bool IsValidFileName(const QString& name);

}  // namespace signposter::ui
