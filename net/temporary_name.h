#pragma once

#include <string>

namespace signposter::net {

// A name beside `remoteName`, in the same directory, for writing a page before it is renamed over the
// real one: ".NAME.signposter-XXXXXX" with six random letters and digits. Hidden, so that a directory
// listing shown to visitors does not offer it, and random, so that two publishers never share one.
std::string TemporaryNameBeside(const std::string& remoteName);

// The directory part of a remote name, up to and including its last "/"; "" for none.
std::string RemoteDirectoryOf(const std::string& remoteName);

}  // namespace signposter::net
