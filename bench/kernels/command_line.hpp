// The command line the kernel benchmarks share: `--commit ID` (the commit the
// figures are for, printed with them), one numeric option that sets how long
// they measure, and the files to measure on; and reading those files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct CommandLine {
    std::string commit = "unknown";
    double effort;  // the value of the numeric option
    std::vector<const char*> files;
};

inline CommandLine parseCommandLine(int argc, char** argv, std::string_view effortOption,
                                    double effortDefault) {
    CommandLine line{.effort = effortDefault};
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--commit" && i + 1 < argc) {
            line.commit = argv[++i];
        } else if (argument == effortOption && i + 1 < argc) {
            line.effort = std::atof(argv[++i]);
        } else {
            line.files.push_back(argv[i]);
        }
    }
    return line;
}

inline std::vector<std::uint8_t> readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace bench
