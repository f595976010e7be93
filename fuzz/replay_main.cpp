// Replays a corpus through the fuzz target without libFuzzer, so that
// compilers without it still run every committed input. Arguments are files
// or folders; options (starting with '-') are ignored.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return 1;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int inputs = 0, errors = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (argv[i][0] == '-') continue;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    errors += replay_file(entry.path());
                    ++inputs;
                }
            }
        } else {
            errors += replay_file(arg);
            ++inputs;
        }
    }
    std::printf("replayed %d inputs\n", inputs);
    return errors == 0 && inputs > 0 ? 0 : 1;
}
