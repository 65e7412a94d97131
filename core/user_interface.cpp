#include "core/user_interface.h"

#include <algorithm>
#include <initializer_list>

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

std::string DescribeOutcome(const PublicationOutcome& outcome, bool withTime) {
    using Kind = PublicationOutcome::Kind;
    const std::string at = withTime ? " " + ClockTime(outcome.when) : std::string();
    switch (outcome.kind) {
        case Kind::Published:
            return outcome.address + (outcome.verified ? " published and verified" : " published") + at +
                   (outcome.reason.empty() ? "" : ": " + outcome.reason);
        case Kind::SkippedInactive:
            return outcome.address + " not published" + at + ": Signposter is not active";
        case Kind::SkippedIgnored:
            return outcome.address + " not published" + at + ": on the ignore list";
        case Kind::SkippedEmptyAddress:
            if (!outcome.reason.empty())
                return "no address" + at + ": " + outcome.reason;
            return outcome.addressDetected ? "no address" + at + ": the host name did not resolve"
                                           : "nothing published" + at + ": no address known yet";
        case Kind::SkippedUnreachable:
            if (outcome.address.empty())  // text that is no address is not repeated
                return "not published" + at + ": " + outcome.reason;
            return outcome.address + " not published" + at + ": " + outcome.reason;
        case Kind::AddressUnavailable:
            return "address not checked" + at + ": " + text::OneLine(outcome.reason) +
                   (outcome.address.empty() ? std::string() : "; keeping " + outcome.address);
        case Kind::AddressChanged:
            return outcome.address + " abandoned" + at + ": " +
                   text::Printable(text::OneLine(outcome.reason));
        case Kind::Abandoned:
            return "not published" + at + ": user template file not found";
        case Kind::Failed: {
            if (outcome.verificationFailed)
                return outcome.address + " not verified" + at + ": " +
                       text::Printable(text::OneLine(outcome.errorMessage));
            // The sentence in words when the attempt left one; the raw message otherwise.
            const std::string& why = outcome.failureText.empty() ? outcome.errorMessage : outcome.failureText;
            return "upload failed" + at + ": " + text::Printable(text::OneLine(why)) +
                   (outcome.permanent ? " Not retried until the settings change." : "");
        }
    }
    return {};
}

namespace {

// Whether `text` goes into the brief length as it is. IPv4 texts always do: a dotted quad always fits,
// and what follows it is cut as it always was.
bool FitsAsItIs(const std::string& text, const std::string& address) {
    return address.find(':') == std::string::npos || text.find(address) == std::string::npos ||
           text.size() <= kBriefTextLength;
}

// The first of `heads` that fits the brief length whole (else the last), and then as much of `tail` as the
// cut leaves, when that is enough to read.
std::string FirstThatFits(std::initializer_list<std::string> heads, const std::string& tail = {}) {
    std::string chosen = *(heads.end() - 1);
    for (const std::string& head : heads) {
        if (head.size() <= kBriefTextLength) {
            chosen = head;
            break;
        }
    }
    constexpr std::size_t kReadableTail = 12;
    if (!tail.empty() && chosen.size() + std::min(tail.size(), kReadableTail) <= kBriefTextLength)
        chosen += tail;
    return chosen;
}

// An IPv6 address takes up to 39 of the 51 characters: the words around it give way, never the address;
// each list starts with the words of the full text.
std::string DescribeAroundLongAddress(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    const std::string& a = outcome.address;
    const std::string time = " " + ClockTime(outcome.when);
    const std::string why = outcome.reason.empty() ? "" : ": " + text::OneLine(outcome.reason);
    switch (outcome.kind) {
        case Kind::Published:
        case Kind::SkippedUnreachable:
            if (IsUnreachable(outcome.addressClass)) {
                const std::string what = outcome.kind != Kind::Published ? " held back"
                                         : outcome.verified              ? " verified"
                                                                         : " published";
                const std::string name = ": " + ClassName(outcome.addressClass);
                return FirstThatFits({a + what + time + name, a + what + name, a + what + time, a + what});
            }
            if (outcome.kind == Kind::SkippedUnreachable)
                return FirstThatFits({a + " not published" + time, a + " not published", a + " held back"},
                                     why);
            if (outcome.verified)
                return FirstThatFits(
                    {a + " published and verified" + time, a + " verified" + time, a + " verified"}, why);
            return FirstThatFits({a + " published" + time, a + " published", a + " sent"}, why);
        case Kind::SkippedInactive:
            return FirstThatFits({a + " not published" + time + ": Signposter is not active",
                                  a + " not published: inactive", a + " not published", a + " not sent"});
        case Kind::SkippedIgnored:
            return FirstThatFits({a + " not published" + time + ": on the ignore list",
                                  a + " not published: ignored", a + " not published", a + " ignored"});
        case Kind::AddressUnavailable:
            return FirstThatFits(
                {a + " kept, not checked" + time, a + " kept, not checked", a + ", unchecked"},
                ": " + text::OneLine(outcome.reason));
        case Kind::Failed:
            if (!outcome.verificationFailed)
                break;
            return FirstThatFits({a + " not verified" + time, a + " not verified", a + " unverified"},
                                 ": " + text::Printable(text::OneLine(outcome.errorMessage)));
        case Kind::AddressChanged:
            return FirstThatFits({a + " abandoned" + time, a + " abandoned"},
                                 ": " + text::Printable(text::OneLine(outcome.reason)));
        case Kind::SkippedEmptyAddress:
        case Kind::Abandoned:
            break;
    }
    return DescribeOutcome(outcome);
}

}  // namespace

std::string DescribeOutcomeBriefly(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    const bool flagged = IsUnreachable(outcome.addressClass);
    std::string text;
    if (flagged && !outcome.address.empty() &&
        (outcome.kind == Kind::Published || outcome.kind == Kind::SkippedUnreachable)) {
        const char* what = outcome.kind != Kind::Published ? " held back "
                           : outcome.verified              ? " verified "
                                                           : " published ";
        text = outcome.address + what + ClockTime(outcome.when) + ": " + ClassName(outcome.addressClass);
    } else {
        text = DescribeOutcome(outcome);
    }
    return FitsAsItIs(text, outcome.address) ? text : DescribeAroundLongAddress(outcome);
}

std::string DescribeProgressBriefly(const std::string& address, int attempt, int attempts) {
    const std::string of = std::to_string(attempt) + " of " + std::to_string(attempts);
    const std::string text = "publishing " + address + " (attempt " + of + ")...";
    if (FitsAsItIs(text, address))
        return text;
    return FirstThatFits({"publishing " + address + " (" + of + ")...", address + " (" + of + ")...",
                          "publishing " + address, address + "..."});
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
