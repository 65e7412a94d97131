#include "app/cli/output_lines.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdlib>

#include "platform/text.h"

namespace signposter::cli {

bool IsJournal(std::FILE* stream) {
    const char* journal = std::getenv("JOURNAL_STREAM");
    if (!journal || !*journal)
        return false;
    std::uintmax_t device = 0, inode = 0;
    if (std::sscanf(journal, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2)
        return false;
    struct stat st {};
    if (::fstat(::fileno(stream), &st) != 0)
        return false;
    return static_cast<std::uintmax_t>(st.st_dev) == device &&
           static_cast<std::uintmax_t>(st.st_ino) == inode;
}

std::string LocalStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return stamp;
}

void WriteLine(std::FILE* stream, Priority priority, const std::string& line,
               std::optional<std::time_t> when) {
    const std::string shown = text::Printable(text::OneLine(line));
    if (IsJournal(stream))
        std::fprintf(stream, "<%d>%s\n", static_cast<int>(priority), shown.c_str());
    else if (when)
        std::fprintf(stream, "%s %s\n", LocalStamp(*when).c_str(), shown.c_str());
    else
        std::fprintf(stream, "%s\n", shown.c_str());
    std::fflush(stream);
}

Priority PriorityOf(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    switch (outcome.kind) {
        case Kind::Published:
            return Priority::Published;
        case Kind::Failed:
        case Kind::Abandoned:
        case Kind::AddressUnavailable:
            return Priority::Failure;
        case Kind::SkippedInactive:
        case Kind::SkippedIgnored:
        case Kind::SkippedEmptyAddress:
        case Kind::SkippedUnreachable:
        case Kind::AddressChanged:
            return Priority::HeldBack;
    }
    return Priority::Notice;
}

}  // namespace signposter::cli
