// kvcap: the command-line capture application.
//
//     kvcap capture --format I420 --size 640x480 --frames 100 --output capture.y4m
//     kvcap formats --standard pal
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/capture.h"

namespace {

int Usage(std::ostream& out, int code)
{
    out << kvcap::CaptureUsage();
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        return Usage(args.empty() ? std::cerr : std::cout, args.empty() ? 2 : 0);
    }
    const std::string command = args[0];
    if (command != "capture" && command != "formats") {
        std::cerr << "kvcap: unknown command " << command << "\n";
        return Usage(std::cerr, 2);
    }
    kvcap::CaptureOptions options;
    std::string error;
    bool help = false;
    if (!kvcap::ParseCaptureArguments({args.begin() + 1, args.end()}, &options, &error, &help)) {
        std::cerr << "kvcap: " << error << "\n";
        return Usage(std::cerr, 2);
    }
    if (help) return Usage(std::cout, 0);
    try {
        return command == "capture" ? kvcap::RunCapture(options, std::cout, std::cerr)
                                    : kvcap::ListFormats(options, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "kvcap: " << e.what() << "\n";
        return 1;
    }
}
