#pragma once

#include <QDialog>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/address_discovery.h"
#include "core/extended_settings.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "ui/background_check.h"

class QDialogButtonBox;
class QFormLayout;
class QLabel;
class QLayout;
class QPushButton;

namespace signposter::ui {

// "Signposter Settings": the settings the main window has no room for (connection security, where the
// address comes from, verification of the published page), built from the settings table's rows of those
// groups: each key's widget by its kind, labelled, explained and enabled as its row says. Checks ask the
// server, the address source and the web server once. It never touches the running
// program's values: OK validates beside the fields and hands the changed keys over with Applied; the
// program's core writes them in one atomic save (its lock and fsync never hold this thread up), takes them
// up where its values live and answers with SaveFinished; Cancel changes nothing.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `snapshot` is the program's values when the dialog opens; `fields` gives the FTP host and port the
    // server check connects to and the page the page check compares (read on this thread only); `lookup`,
    // when given (a test's), lists the interfaces and answers the host name and interface sources and
    // must outlive the checks; without it the dialog asks the machine through lookups of its own.
    SettingsDialog(const ProgramState& snapshot, std::string settingsPath, const LiveSettings& fields,
                   HostLookup* lookup, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // The snapshot with the fields' values, as the settings file would hold them. A field left as it
    // was shown keeps the file's own spelling (an absent key stays absent).
    ProgramState Collect() const;

    // OK: validates and announces the changes (closing at once when there are none); otherwise shows why
    // beside the fields and stays.
    void accept() override;
    // The program has written the announced changes (an empty `error`): the dialog closes; otherwise it
    // shows why and stays.
    void SaveFinished(const std::string& error);

    // The network checks, started or (while one runs) cancelled by their buttons.
    void CheckServerClick();
    void CheckAddressClick();
    void CheckPageClick();
    void TrustClick();

signals:
    // The keys OK changed, with their values as the file is to hold them.
    void Applied(const std::vector<std::pair<std::string, std::string>>& changedKeys);

private:
    // One key's widget: how it shows the file's text and what text it holds now.
    struct KeyField {
        const SettingKey* key = nullptr;
        QWidget* input = nullptr;
        std::vector<QWidget*> widgets;  // the field, its label and its buttons: enabled while the key applies
        std::function<void(const std::string&)> show;
        std::function<std::string()> read;
        std::string loaded;        // the file's text
        bool loadedValid = false;  // whether the file's text is a value the key takes
        std::string shown;         // what read() gave right after showing it
    };
    // A key's widget as its kind makes it: the field (and the row holding it with its buttons, if any).
    struct Made {
        QWidget* field;
        QLayout* row = nullptr;
    };

    void CreateWidgets();
    QWidget* CreateGroup(SettingsGroup group, const char* title, const char* name, QLayout* buttons,
                         QLabel* result);
    void AddKey(const SettingKey& key, QFormLayout* form);
    Made CreateField(const SettingKey& key, KeyField& field);
    Made MakeText(const SettingKey& key, KeyField& field);
    Made MakePath(const SettingKey& key, KeyField& field);
    Made MakeFlag(const SettingKey& key, KeyField& field);
    Made MakeChoice(const SettingKey& key, KeyField& field);
    Made MakeNumber(const SettingKey& key, KeyField& field);
    Made MakeInterface(const SettingKey& key, KeyField& field);
    QPushButton* Button(const char* name, const char* caption, const char* tip,
                        void (SettingsDialog::*click)());
    void Load();
    // Enables the fields of the keys that apply to the choices as they stand now.
    void ChoicesChanged();
    // Shows each problem under its field; true when there were none.
    bool ShowProblems(const std::vector<SettingProblem>& problems);
    void CheckStarted(QPushButton* button);
    void CheckEnded(QPushButton* button, const char* caption);
    void ServerCheckFinished(const CheckResult& result);
    void AddressCheckFinished(const CheckResult& result);
    void PageCheckFinished(const CheckResult& result);

    const ProgramState m_snapshot;
    std::string m_settingsPath;
    const LiveSettings& m_fields;
    HostLookup* m_lookup;  // a test's; else the machine's, through lookups of the dialog's own

    std::vector<KeyField> m_keyFields;  // in the table's order
    QPushButton* m_checkServer = nullptr;
    QLabel* m_serverResult = nullptr;
    QPushButton* m_trust = nullptr;
    QPushButton* m_checkAddress = nullptr;
    QLabel* m_addressResult = nullptr;
    QPushButton* m_checkPage = nullptr;
    QLabel* m_pageResult = nullptr;
    QLabel* m_saveError = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    std::map<std::string, QLabel*> m_errors;  // by settings key
    std::map<std::string, QWidget*> m_errorFields;

    BackgroundCheck* m_serverCheck = nullptr;
    BackgroundCheck* m_addressCheck = nullptr;
    BackgroundCheck* m_pageCheck = nullptr;
    std::string m_checkedFingerprint;
    const SettingKey* m_pinKey = nullptr;  // the key the checked fingerprint goes into
    bool m_checkedSsh = false;             // the last server check was of an SSH host key
};

}  // namespace signposter::ui
