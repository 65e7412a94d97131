#pragma once

#include <string>

namespace signposter {

// The text fields of the main window that hold live settings, by what they hold (the window's component
// name in the comment).
enum class TextField {
    Port,            // Edit1
    Host,            // Edit2
    User,            // Edit3
    Password,        // Edit4
    PageName,        // Edit5
    RemotePath,      // Edit6
    AddressDisplay,  // Edit7, read-only display of the current address
    TemplateFile,    // FilenameEdit1
};

// The switches of the main window.
enum class Switch {
    Passive,             // PCheck1 "Passive Mode"
    InternalRedirect,    // PCheck2 "Internal Template with auto Redirect"
    InternalNoRedirect,  // PCheck3 "Internal Template NO auto redirect"
    UserTemplate,        // PCheck4 "User Template"
    Active,              // PCheck5 "Signposter is Active"
};

// The values the user edits, held by the window's fields. The core reads them at the moment it needs them
// and never keeps copies. Setting a switch changes only its checked state: no click handler runs.
class LiveSettings {
public:
    virtual ~LiveSettings() = default;
    virtual std::string Text(TextField field) const = 0;
    virtual void SetText(TextField field, const std::string& text) = 0;
    virtual bool Checked(Switch which) const = 0;
    virtual void SetChecked(Switch which, bool checked) = 0;
};

}  // namespace signposter
