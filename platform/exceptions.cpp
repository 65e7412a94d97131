#include "platform/exceptions.h"

namespace signposter {

void RaiseCannotOpenFile(const std::string& path) {
    throw EFOpenError("Cannot open file " + path);
}

void RaiseCannotCreateFile(const std::string& path) {
    throw EFCreateError("Cannot create file " + path);
}

}  // namespace signposter
