#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/program_state.h"
#include "core/publishing_core.h"
#include "ftp/id_ftp.h"
#include "ftp/scripted_ftp_server.h"
#include "support/fake_clock.h"
#include "support/fake_live_settings.h"
#include "support/fake_user_interface.h"
#include "support/temp_dir.h"

namespace signposter::testing {

// What a publication needs around it: a scripted server, a driven clock, the fields, the program-wide
// values, a recording user interface and the client as the window creates it. Pages go to a temporary
// directory of the test's own.
class PublishingFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TMPDIR", m_dir.Path().c_str(), 1);
        PublishingCore::ApplyClientDefaults(m_ftp);
        m_ftp.SetReplyTimeout(5000);
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    TempDir m_dir;
    ScriptedFtpServer m_server;
    FakeClock m_clock;
    FakeLiveSettings m_fields;
    ProgramState m_state;
    FakeUserInterface m_ui;
    ftp::TIdFTP m_ftp;
};

}  // namespace signposter::testing
