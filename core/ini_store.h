#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/line_list.h"
#include "platform/exceptions.h"

// A minimal INI-style key store over one whole text file held in memory. There is exactly one store at a
// time, held here: IniOpen replaces it, IniClose saves and releases it. Section headers and keys are found
// by substring tests; names compare without ASCII letter case and surrounding spaces; the first match wins.
// From IniOpen to IniClose the calling thread holds the store (other threads' IniOpen waits) and the
// process holds an advisory lock on "<file>.lock" beside the file (other programs' IniOpen waits, a few
// seconds at most), so that every read-modify-write of the file is whole. When the lock cannot be had the
// store still reads, but every write raises ESettingsLockError saying why and which file; closing then
// writes nothing. A file over 1 MiB is refused ("Cannot open"), and a NUL byte is kept in its line. Every
// IniOpen needs its IniClose, also on the way out of a failure; a failed IniOpen releases by itself.
namespace signposter {

SIGNPOSTER_EXCEPTION_CLASS(ESettingsLockError, EStreamError);

void IniOpen(const std::string& path);
std::string IniReadString(const std::string& section, const std::string& key,
                          const std::string& defaultValue);
std::int32_t IniReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue);
// Changes or adds the key line, then saves the whole list (raises "Cannot create file %s").
void IniWriteString(const std::string& section, const std::string& key, const std::string& value);
// Changes or adds several key lines, then saves the whole list once: the file holds either none of the
// changes or none; `removed` keys' lines go in the same save.
void IniWriteStrings(const std::string& section,
                     const std::vector<std::pair<std::string, std::string>>& values,
                     const std::vector<std::string>& removed = {});
// Removes the key's line (the first match, as a read finds it), then saves; nothing when it is missing.
void IniDeleteKey(const std::string& section, const std::string& key);
void IniWriteInteger(const std::string& section, const std::string& key, std::int32_t value);
// Saves the list unless the file is missing or read-only, then releases it.
void IniClose();

// The open store's lines, for tests and diagnostics.
const LineList& IniLines();

// Opens the store at `path`, runs `action` on it and closes it (saving): the read-modify-write of one
// program under the store's lock. A failure of the action is the one reported; closing after it must not
// replace that error.
template <typename Action>
void WithIniStore(const std::string& path, Action&& action) {
    IniOpen(path);
    try {
        action();
    } catch (...) {
        try {
            IniClose();
        } catch (...) {
        }
        throw;
    }
    IniClose();
}

}  // namespace signposter
