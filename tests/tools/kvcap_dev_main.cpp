#include "tools/commands.h"

int main(int argc, char** argv) { return kvcap::RunKvcap(std::vector<std::string>(argv + 1, argv + argc)); }
