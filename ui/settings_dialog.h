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

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace signposter::ui {

// "Signposter Settings": the settings the main window has no room for (connection security, where the
// address comes from, verification of the published page; the keys of core/extended_settings.h), with
// checks that ask the server, the address source and the web server once. It never touches the running
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
        std::function<void(const std::string&)> show;
        std::function<std::string()> read;
        std::string loaded;  // the file's text
        std::string shown;   // what read() gave right after showing it
    };

    void CreateWidgets();
    QWidget* CreateField(const SettingKey& key, QWidget*& focus);
    void Load();
    void SourceChanged();
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
    QComboBox* m_security = nullptr;
    QLineEdit* m_trustFile = nullptr;
    QLineEdit* m_fingerprint = nullptr;
    QPushButton* m_checkServer = nullptr;
    QLabel* m_serverResult = nullptr;
    QPushButton* m_trust = nullptr;
    QComboBox* m_source = nullptr;
    QComboBox* m_interface = nullptr;
    QLineEdit* m_url = nullptr;
    QSpinBox* m_poll = nullptr;
    QCheckBox* m_publishPrivate = nullptr;
    QPushButton* m_checkAddress = nullptr;
    QLabel* m_addressResult = nullptr;
    QLineEdit* m_verifyUrl = nullptr;
    QComboBox* m_verifyMatch = nullptr;
    QSpinBox* m_republish = nullptr;
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
    bool m_checkedSsh = false;  // the last server check was of an SSH host key
};

}  // namespace signposter::ui
