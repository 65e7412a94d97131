#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/address_class.h"

namespace signposter {

enum class MessageIcon { Information, Error };

// What became of one publication, for the user to see (tray tooltip, a line of the headless monitor).
struct PublicationOutcome {
    enum class Kind {
        Published,
        SkippedInactive,      // the activity switch is off
        SkippedIgnored,       // the address (or "OFFLINE") is on the ignore list
        SkippedEmptyAddress,  // no address: nothing worth publishing
        Abandoned,            // the user template file is missing
        Failed,               // every attempt failed; see the error fields
        SkippedUnreachable,       // an address visitors cannot reach, from a source that holds those back
        AddressUnavailable,   // a polled address source failed; the last address stands (no publication)
        AddressChanged,       // given up: the address changed during the upload (see reason); the new one
                              // is published next
    };
    Kind kind = Kind::Published;
    bool offline = false;          // the offline notice rather than the address page
    std::string address;           // the address published or skipped ("OFFLINE" for the notice)
    bool addressDetected = false;  // the address was just looked up (else it is the one last known)
    std::time_t when = 0;          // when the publication ended
    int attempts = 0;              // upload attempts made
    std::string errorClass;        // Failed: the last attempt's exception class
    std::string errorMessage;      // Failed: its message
    // Failed: the last attempt's failure in words, naming the host and port, user or remote file
    // (core/failure_text.h); what the user reads, while the class and message above are for --verbose.
    std::string failureText;
    bool willRetry = false;        // Failed: the monitor keeps it pending and tries again later
    // Failed: the server refused the login or the path, or is not the one trusted. No further attempt was
    // made; the publication stays pending and is retried when the settings change, not on the timer.
    bool permanent = false;
    bool verified = false;            // Published: visitors get the page just uploaded (VerifyURL)
    bool verificationFailed = false;  // Failed: uploaded, but visitors do not get it; see errorMessage
    AddressClass addressClass = AddressClass::Public;
    // Why, in words: the source's failure, or what the address's class means for visitors.
    std::string reason;
};

// One line for the user, e.g. "203.0.113.7 published 14:02" or "upload failed 14:02: <what failed, in
// words>". Without `withTime` the clock time is left out, for a log that stamps each line itself.
std::string DescribeOutcome(const PublicationOutcome& outcome, bool withTime = true);

// What a tray icon's tooltip shows after its "Signposter: ": the 63 characters it holds, less those 12.
inline constexpr std::size_t kBriefTextLength = 51;
// The same in few words, for a tray icon's tooltip: an address that visitors cannot reach is named with its
// class ("100.64.12.34 held back 14:02: carrier-grade NAT"), which the whole sentence would lose at the
// cut. An IPv6 address is never cut: the words around it give way ("2001:db8:1234:5678:9abc:def0:1234:5678
// published"); what follows them (a reason, an error message) may be cut at kBriefTextLength.
std::string DescribeOutcomeBriefly(const PublicationOutcome& outcome);
// The tooltip while an upload runs: "publishing 203.0.113.7 (attempt 2 of 5)...", shortened around an
// IPv6 address as above ("2001:db8:1234:5678:9abc:def0:1234:5678 (2 of 5)...").
std::string DescribeProgressBriefly(const std::string& address, int attempt, int attempts);

// How the core reaches the user: showing, reporting and asking. The main window implements it with widgets,
// the headless front end with the terminal, tests with fakes.
class UserInterface {
public:
    virtual ~UserInterface() = default;
    // A modal message box with one "OK" button; lines of `text` are separated by CR. Returns when the
    // user has closed it; the core's own steps wait meanwhile (the window answers on its own thread).
    virtual void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) = 0;
    virtual void ShowMainWindow() = 0;
    virtual void HideMainWindow() = 0;
    virtual bool MainWindowVisible() const = 0;
    // Starts or stops the once-a-second monitor timer.
    virtual void SetTimerEnabled(bool enabled) = 0;
    virtual void ReportOutcome(const PublicationOutcome& outcome) = 0;
    // An upload attempt of `address` (or "OFFLINE") begins: attempt `attempt` of `attempts`.
    virtual void ReportProgress(const std::string& /*address*/, int /*attempt*/, int /*attempts*/) {}
    // The program has been asked to end: a publication stops after its current attempt.
    virtual bool EndRequested() const { return false; }
    // What the user's command after a publication did (OnPublished, OnFailed): its exit status, then the
    // first lines of its output. For the log only: it changes nothing of the publication's outcome.
    virtual void ReportHook(const std::vector<std::string>& /*lines*/) {}
};

// The application's default error display: caption "Signposter", the message with "." appended when its
// last character sorts after ".", the error icon.
void ShowDefaultError(UserInterface& ui, const std::string& message);
std::string DefaultErrorText(const std::string& message);

}  // namespace signposter
