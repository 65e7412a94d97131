#pragma once

#include <QDialog>
#include <map>
#include <string>

#include "core/address_discovery.h"
#include "core/extended_settings.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"
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
// address comes from, verification of the published page), with checks that ask the server, the address
// source and the web server once. OK validates beside the
// fields, writes the changed keys into the settings file in one atomic save and puts them into the running
// program's values, so the next tick and publication use them; Cancel changes nothing.
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // `state` is the running program's; `fields` gives the FTP host and port the server check connects to
    // and the page the page check compares; `ui` hears of a missing user template; `lookup` lists the
    // interfaces and answers the host name and interface sources.
    SettingsDialog(ProgramState& state, std::string settingsPath, const LiveSettings& fields,
                   UserInterface& ui, HostLookup& lookup, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // What the fields say now, as the settings file would hold it. A choice that means what the file
    // already says keeps the file's own spelling (an absent key stays absent).
    ExtendedSettings Collect() const;

    // OK: validates, writes and applies, then closes; otherwise shows why beside the fields and stays.
    void accept() override;

    // The network checks, started or (while one runs) cancelled by their buttons.
    void CheckServerClick();
    void CheckAddressClick();
    void CheckPageClick();
    void TrustClick();

private:
    void CreateWidgets();
    void Load();
    void SourceChanged();
    // Shows each problem under its field; true when there were none.
    bool ShowProblems(const std::vector<SettingProblem>& problems);
    void CheckStarted(QPushButton* button);
    void CheckEnded(QPushButton* button, const char* caption);
    void ServerCheckFinished(const CheckResult& result);
    void AddressCheckFinished(const CheckResult& result);
    void PageCheckFinished(const CheckResult& result);

    ProgramState& m_state;
    std::string m_settingsPath;
    const LiveSettings& m_fields;
    UserInterface& m_ui;
    HostLookup& m_lookup;

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
};

}  // namespace signposter::ui
