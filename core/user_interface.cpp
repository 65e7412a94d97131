#include "core/user_interface.h"

namespace signposter {

namespace {

std::string ClockTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buffer[8];
    std::strftime(buffer, sizeof buffer, "%H:%M", &local);
    return buffer;
}

// Socket errors carry CR LF between their number and their text; a tooltip or log line wants one line.
std::string OneLine(const std::string& message) {
    std::string out;
    for (char c : message) {
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string DescribeOutcome(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    const std::string time = ClockTime(outcome.when);
    switch (outcome.kind) {
        case Kind::Published:
            return outcome.address + " published " + time;
        case Kind::SkippedInactive:
            return outcome.address + " not published " + time + ": Signposter is not active";
        case Kind::SkippedIgnored:
            return outcome.address + " not published " + time + ": on the ignore list";
        case Kind::SkippedEmptyAddress:
            return "no address " + time + ": the host name did not resolve";
        case Kind::Abandoned:
            return "not published " + time + ": user template file not found";
        case Kind::Failed:
            return "upload failed " + time + ": " + OneLine(outcome.errorMessage);
    }
    return {};
}

std::string DefaultErrorText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
        return message + ".";
    }
    return message;
}

void ShowDefaultError(UserInterface& ui, const std::string& message) {
    ui.ShowMessage("Signposter", DefaultErrorText(message), MessageIcon::Error);
}

}  // namespace signposter
