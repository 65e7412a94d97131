#pragma once

#include <string>

namespace signposter {

// The program-wide values of the monitor. One object, owned by the program and handed to the core.
struct ProgramState {
    std::string CurrentIP;      // the address last detected, or "LastIP" from the settings at start
    std::string PreviousIP;     // CurrentIP at the start of the latest monitor tick
    std::string IgnoreList;     // addresses never published, comma separated
    std::string TemplateFile;   // path of the user template file
    std::string LocalPageFile;  // where the page is built before the upload
    bool Busy = false;          // a monitor tick's detection and publication are running
};

}  // namespace signposter
