// Runs a fuzz target over the seed corpus and the inputs that once crashed it,
// without libFuzzer, as an ordinary test. Arguments are files or directories
// (one that does not exist is empty; names beginning with "." are skipped).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::set<fs::path> inputs;  // in name order
    std::error_code error;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i], error)) inputs.insert(argv[i]);
        for (const auto& entry : fs::directory_iterator(argv[i], error))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                inputs.insert(entry.path());
    }
    for (const fs::path& input : inputs) {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            return 1;
        }
        // Exactly the input's size, as libFuzzer hands it over, so that a
        // read one byte too far is caught here as well.
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
