#include "net/temporary_name.h"

#include <random>

namespace signposter::net {

std::string RemoteDirectoryOf(const std::string& remoteName) {
    const std::size_t slash = remoteName.rfind('/');
    return slash == std::string::npos ? std::string() : remoteName.substr(0, slash + 1);
}

std::string TemporaryNameBeside(const std::string& remoteName) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    const std::string directory = RemoteDirectoryOf(remoteName);
    std::string name = directory + "." + remoteName.substr(directory.size()) + ".signposter-";
    for (int i = 0; i < 6; ++i) name += kAlphabet[pick(random)];
    return name;
}

}  // namespace signposter::net
