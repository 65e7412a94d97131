// Settings store under arbitrary files and operations. The input is a settings file, then (after the
// first 0xFF byte) a list of operations: each byte picks read or write and one of a few sections, keys
// and values. After every write, and after closing, the file on disk must equal the in-memory list.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "core/ini_store.h"
#include "platform/exceptions.h"

namespace {

std::string ReadBack(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string& ScratchPath() {
    static const std::string path = [] {
        // tmpfs when there is one: every write is flushed to disk, which would dominate the run.
        std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        dir += "/signposter-fuzz-XXXXXX";
        return std::string(::mkdtemp(dir.data())) + "/settings.ini";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace signposter;
    static const char* const kSections[] = {"Settings", " settings ", "Other", "[x]", ""};
    static const char* const kKeys[] = {"Host", "HOST", " Port ", "a=b", "", "[k]", "LastIP"};
    static const char* const kValues[] = {"", " v ", "1abc", "$1F", "=", "[", "x\xff"};

    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\xff');
    const std::string file = input.substr(0, split);
    // A few dozen operations say all there is to say; thousands of whole-file rewrites only slow the search.
    const std::string ops = split == std::string::npos ? std::string() : input.substr(split + 1, 48);

    const std::string& path = ScratchPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << file;
    }
    IniOpen(path);
    for (unsigned char op : ops) {
        const char* section = kSections[op % 5];
        const char* key = kKeys[(op / 5) % 7];
        if (op & 0x80) {
            IniWriteString(section, key, kValues[(op / 35) % 7]);
            if (ReadBack(path) != IniLines().Text())
                std::abort();
        } else if (op & 0x40) {
            (void)IniReadInteger(section, key, op);
        } else {
            (void)IniReadString(section, key, "default");
        }
    }
    const std::string finalText = IniLines().Text();
    IniClose();
    if (ReadBack(path) != finalText)
        std::abort();
    return 0;
}
