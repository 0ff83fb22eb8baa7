// Runs a fuzz target over saved inputs without libFuzzer, so that the seed
// corpus and every input that once crashed replay with any compiler as an
// ordinary test. Arguments are files or directories of files; a directory
// that does not exist counts as empty, and names beginning with "." are
// skipped.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    std::error_code error;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], error)) inputs.emplace_back(argv[i]);
        if (!fs::is_directory(argv[i], error)) continue;
        for (const auto& entry : fs::directory_iterator(argv[i]))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        // Exactly the input's size, as libFuzzer hands it over, so that a
        // read one byte too far is caught here as well.
        const std::vector<uint8_t> data(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
