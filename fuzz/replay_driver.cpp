// Runs a fuzz target without libFuzzer: every file of the seed corpus, then a fixed number of
// deterministic mutations of those seeds (byte flips, insertions, deletions, splices, long runs). A crash
// or a sanitizer report fails the test; the same seed gives the same inputs on every run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> LoadCorpus(const std::filesystem::path& dir) {
    std::vector<std::string> seeds;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (seeds.empty())
        seeds.emplace_back();
    return seeds;
}

std::string Mutate(std::string input, const std::vector<std::string>& seeds, std::mt19937& random) {
    const int rounds = 1 + static_cast<int>(random() % 8);
    for (int r = 0; r < rounds; ++r) {
        const std::size_t pos = input.empty() ? 0 : random() % (input.size() + 1);
        switch (random() % 6) {
            case 0:
                if (!input.empty())
                    input[pos % input.size()] = static_cast<char>(random());
                break;
            case 1:
                input.insert(pos, 1, "\r\n=[] ,()$0x-9\0"[random() % 15]);
                break;
            case 2:
                if (!input.empty())
                    input.erase(pos % input.size(), 1 + random() % 16);
                break;
            case 3: {
                const std::string& other = seeds[random() % seeds.size()];
                if (!other.empty()) {
                    const std::size_t from = random() % other.size();
                    input.insert(pos, other.substr(from, 1 + random() % 64));
                }
                break;
            }
            case 4:
                input.insert(pos, 1 + random() % 9000, static_cast<char>(random()));
                break;
            default:
                input.insert(pos, 1, static_cast<char>(random()));
                break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
        return 2;
    }
    const std::vector<std::string> seeds = LoadCorpus(argv[1]);
    const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 10000;
    for (const std::string& seed : seeds) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    }
    std::mt19937 random(12345);
    for (long i = 0; i < mutations; ++i) {
        const std::string input = Mutate(seeds[random() % seeds.size()], seeds, random);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    std::printf("%zu seeds and %ld mutations ran clean\n", seeds.size(), mutations);
    return 0;
}
