// kvcap: the command-line capture application (commands in commands.cpp).
#include <string>
#include <vector>

#include "tools/commands.h"

int main(int argc, char** argv)
{
    return kvcap::RunKvcap(std::vector<std::string>(argv + 1, argv + argc));
}
