// The `norvane` program: hands its arguments and standard streams to the tool library.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "nvt_tool.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> words(argv + 1, argv + argc);
    return NvtRun(words, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0, &std::cin);
}
