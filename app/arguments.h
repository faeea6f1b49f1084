// The command line: positional arguments that name existing files are disk
// images to open; everything else belongs to the toolkit.
#pragma once

#include <string>
#include <vector>

struct command_line_s {
    std::vector<std::string> images;  // in the order given
    std::vector<char*> toolkit_args;  // argv[0] and the rest, for QApplication
};

// Splits argv. The value after a toolkit option that takes one (-style,
// -stylesheet, -platform, ...) stays with the toolkit even when it names a file.
command_line_s split_command_line(int argc, char** argv);
