#pragma once

#include <cstdint>
#include <string>
#include <vector>

// File facts the core asks about. Read-only means "no write permission bit set": the process may run as
// root, which opens any file whatever its mode, so the bits are what tells the user's intent.
namespace signposter::platform {

// mkdir -p; the directories made are private to the user (0700). Failures are left for the file
// operations to report with the file's own path.
void MakeDirectories(const std::string& path);
bool FileExists(const std::string& path);      // a regular file (or a link to one) of that name
bool IsReadOnlyFile(const std::string& path);  // exists and has none of the write bits
// A cheap look at whether a file may have changed: its identity, size and modification and change times,
// to compare with an earlier look; empty when it cannot be looked at.
std::vector<std::int64_t> FileStamp(const std::string& path);
// Reads the whole regular file; raises "Cannot open file %s" when it cannot be read or is anything else
// (a directory, a FIFO, a device). `modeBits`, when given, gets the permission bits of the file read.
std::string ReadWholeFile(const std::string& path, unsigned* modeBits = nullptr);
// Writes the whole file in place (truncating); raises "Cannot create file %s".
void WriteWholeFile(const std::string& path, const std::string& bytes);
// Replaces the file atomically: a temporary file in the same directory, flushed to disk, then renamed over
// the old one, keeping the old file's permission bits (new files get `newFileMode`). The old file stays as
// it was on any failure, which raises "Cannot create file %s". A read-only file is never replaced.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes, unsigned newFileMode = 0644);
// The same for a file that must be exactly where it is named: a symbolic link (or anything but a regular
// file) at the path is refused instead of followed, and a missing directory is not made.
void ReplaceFileInPlace(const std::string& path, const std::string& bytes, unsigned newFileMode = 0644);

}  // namespace signposter::platform
