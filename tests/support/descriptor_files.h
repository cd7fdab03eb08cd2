#pragma once

// Report descriptors kept as commented hex text: those the product ships (the
// transceivers that qz470-probe emulates) under data/descriptors, the other
// samples under tests/data/descriptors. The first line says what the host
// must learn from each:
//   # expect input=9 output=9 ids=0      or      # expect invalid

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qz::testdata {

struct DescriptorFile {
    std::string name;
    std::vector<std::uint8_t> bytes;
    bool valid = false;
    unsigned input = 0;
    unsigned output = 0;
    bool ids = false;
};

// The folders that hold descriptors, the shipped ones first.
inline std::vector<std::filesystem::path> DescriptorDirs()
{
    return {
        std::filesystem::path(QZ_DATA_DIR) / "descriptors", std::filesystem::path(QZ_TEST_DATA_DIR) / "descriptors"};
}

inline DescriptorFile LoadDescriptor(const std::filesystem::path& path)
{
    DescriptorFile file;
    file.name = path.stem().string();
    std::ifstream in(path);
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first) {
            unsigned ids = 0;
            file.valid
                = std::sscanf(line.c_str(), "# expect input=%u output=%u ids=%u", &file.input, &file.output, &ids) == 3;
            file.ids = ids != 0;
            first = false;
        }
        std::istringstream words(line.substr(0, line.find('#')));
        std::string word;
        while (words >> word) {
            file.bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    return file;
}

inline DescriptorFile LoadNamedDescriptor(const std::string& name)
{
    for (const std::filesystem::path& dir : DescriptorDirs()) {
        if (std::filesystem::exists(dir / (name + ".hex"))) {
            return LoadDescriptor(dir / (name + ".hex"));
        }
    }
    return {};
}

} // namespace qz::testdata
