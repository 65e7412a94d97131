#pragma once

// A main window on a temporary settings file, with a fixed host lookup, a tray shell that records the
// tooltip and message boxes recorded instead of shown: what the window, tray menu and settings dialog tests
// share.
#include <gtest/gtest.h>

#include <QAction>
#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "ui/controls/p_check.h"
#include "ui/form_parts.h"
#include "ui/main_window.h"
#include "ui/window_doubles.h"

namespace signposter::ui {

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_config.isValid());
        setenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit().constData(), 1);
        TPCustomCheck::SetSoundPlayer([] {});
    }

    std::string SettingsPath() const { return (m_config.path() + "/signposter.ini").toStdString(); }
    std::string SettingsFile() const { return testing::ReadFile(SettingsPath()); }
    void WriteSettings(const std::string& lines) {
        testing::WriteFile(SettingsPath(), "[Settings]\r\n" + lines);
    }

    void CreateForm(std::string autostartProgram = {}, const Clock* clock = nullptr) {
        WindowServices services;
        services.lookup = &m_lookup;
        services.clock = clock;
        services.trayShell = std::make_unique<TipRecorder>(tip);
        services.autostartProgram = std::move(autostartProgram);
        form = std::make_unique<TForm1>(std::move(services));
        form->SetTimerEnabled(false);
        form->SetMessageBoxFunction(
            [this](const QString&, const QString& text, MessageIcon) { messages.push_back(text); });
        // A menu item returns once the publishing thread has run what it posted, so that a test can look
        // at the outcome next; waitForItems off lets a test look while the command still runs.
        for (QAction* action : Menu().actions())
            QObject::connect(action, &QAction::triggered, form.get(), [this] {
                if (waitForItems)
                    form->WaitForCore();
            });
    }

    TCoolTrayIcon& Tray() { return *Part<TCoolTrayIcon>(*form, "CoolTrayIcon1"); }
    TPopupMenu& Menu() { return *Part<TPopupMenu>(*form, "PopupMenu1"); }
    QAction& Item(const char* name) { return *Part<QAction>(*form, name); }

    QTemporaryDir m_config;
    FixedLookup m_lookup;
    QString tip;
    std::vector<QString> messages;
    bool waitForItems = true;
    std::unique_ptr<TForm1> form;
};

}  // namespace signposter::ui
