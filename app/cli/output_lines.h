#pragma once

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

#include "core/user_interface.h"

namespace signposter::cli {

// The journal's priorities (syslog levels) of the lines the headless front end writes.
enum class Priority { Failure = 3, HeldBack = 4, Warning = 4, Notice = 5, Published = 6, Information = 6 };

// Whether `stream` is connected to the journal: JOURNAL_STREAM names the device and inode of the stream
// systemd connected, and a stream redirected elsewhere (a pipe, a file) is not it.
bool IsJournal(std::FILE* stream);

// Writes one line (control bytes made printable, line breaks joined). On the journal it starts with the
// priority ("<3>") and no time stamp, since the journal stamps every line itself; elsewhere a line given
// `when` starts with that local time ("2026-12-07 14:02:11 ").
void WriteLine(std::FILE* stream, Priority priority, const std::string& line,
               std::optional<std::time_t> when = std::nullopt);

// Failures are errors, what was held back or skipped a warning, a publication information.
Priority PriorityOf(const PublicationOutcome& outcome);

// "2026-12-07 14:02:11" in local time.
std::string LocalStamp(std::time_t when);

}  // namespace signposter::cli
