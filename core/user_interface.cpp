#include "core/user_interface.h"

#include "platform/text.h"

namespace signposter {

namespace {

std::string ClockTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buffer[8];
    std::strftime(buffer, sizeof buffer, "%H:%M", &local);
    return buffer;
}

}  // namespace

std::string DescribeOutcome(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    const std::string time = ClockTime(outcome.when);
    switch (outcome.kind) {
        case Kind::Published:
            return outcome.address + (outcome.verified ? " published and verified " : " published ") + time +
                   (outcome.reason.empty() ? "" : ": " + outcome.reason);
        case Kind::SkippedInactive:
            return outcome.address + " not published " + time + ": Signposter is not active";
        case Kind::SkippedIgnored:
            return outcome.address + " not published " + time + ": on the ignore list";
        case Kind::SkippedEmptyAddress:
            if (!outcome.reason.empty())
                return "no address " + time + ": " + outcome.reason;
            return outcome.addressDetected ? "no address " + time + ": the host name did not resolve"
                                           : "nothing published " + time + ": no address known yet";
        case Kind::SkippedFlagged:
            return outcome.address + " not published " + time + ": " + outcome.reason;
        case Kind::AddressUnavailable:
            return "address not checked " + time + ": " + text::OneLine(outcome.reason) +
                   (outcome.address.empty() ? std::string() : "; keeping " + outcome.address);
        case Kind::AddressChanged:
            return outcome.address + " abandoned " + time + ": " +
                   text::Printable(text::OneLine(outcome.reason));
        case Kind::Abandoned:
            return "not published " + time + ": user template file not found";
        case Kind::Failed:
            if (outcome.verificationFailed)
                return outcome.address + " not verified " + time + ": " +
                       text::Printable(text::OneLine(outcome.errorMessage));
            return "upload failed " + time + ": " + text::Printable(text::OneLine(outcome.errorMessage));
    }
    return {};
}

std::string DescribeOutcomeBriefly(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    const bool flagged = IsFlagged(outcome.addressClass);
    if (flagged && (outcome.kind == Kind::Published || outcome.kind == Kind::SkippedFlagged)) {
        const char* what = outcome.kind != Kind::Published ? " held back "
                           : outcome.verified              ? " verified "
                                                           : " published ";
        return outcome.address + what + ClockTime(outcome.when) + ": " + ClassName(outcome.addressClass);
    }
    return DescribeOutcome(outcome);
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
