// The other process of the registry load drill: writes numbered values into
// the registry store until the stop file exists (at most a fixed number),
// then writes how many it wrote to <stop file>.count. Exits 1 when a write
// failed.
//
// Usage: registry_load_writer STOPFILE

#include <filesystem>
#include <fstream>
#include <string>

#include "common/registry/KmRegistry.h"
#include "quorbel/Product.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    constexpr int kMaxWrites = 20000;
    const std::filesystem::path stopFile = argv[1];
    km::SetRegistryRoot(qb::kProductRegistryKey);
    int written = 0;
    int failed = 0;
    while (written < kMaxWrites && !std::filesystem::exists(stopFile)) {
        if (!km::WriteRegString("drill\\load." + std::to_string(written),
                                std::to_string(written))) {
            ++failed;
        }
        ++written;
    }
    std::ofstream(stopFile.string() + ".count") << written;
    return failed == 0 ? 0 : 1;
}
