// The kvcap program run as a person runs it, in a scratch directory with its
// own settings file: the fixture of the program's end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/tools/temp_dir.h"

namespace kvcap_test {


struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

inline bool HaveProgram(const char* name)
{
    const std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

inline std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Kvcap : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.Path().empty());
        registry_ = dir_.File("state/registry.reg");
    }

    // Runs kvcap with the arguments (split at spaces) in the scratch
    // directory, the settings file in it.
    Outcome Run(const std::string& args, const std::string& extraEnv = "")
    {
        const std::string out = dir_.File(".stdout"), err = dir_.File(".stderr");
        const std::string cmd = "cd " + ShellQuote(dir_.Path()) + " && env -u XDG_STATE_HOME KVCAP_REGISTRY=" +
                                ShellQuote(registry_) + " " + extraEnv + " " + KVCAP_BINARY + " " + args + " >" +
                                ShellQuote(out) + " 2>" + ShellQuote(err) + " </dev/null";
        const int status = std::system(cmd.c_str());
        Outcome o;
        o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        o.out = ReadText(out);
        o.err = ReadText(err);
        std::remove(out.c_str());
        std::remove(err.c_str());
        return o;
    }

    // Output of a shell command (stdout), for ffprobe and tshark.
    std::string Shell(const std::string& cmd, int* exit = nullptr)
    {
        const std::string out = dir_.File(".shell");
        const int status = std::system(("cd " + ShellQuote(dir_.Path()) + " && " + cmd + " >" + ShellQuote(out) + " 2>&1").c_str());
        if (exit) *exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string text = ReadText(out);
        std::remove(out.c_str());
        return text;
    }

    std::vector<std::string> Files()
    {
        std::vector<std::string> out;
        for (const auto& e : dir_.Entries())
            if (e != "state") out.push_back(e);
        return out;
    }

    // Starts kvcap in the scratch directory without waiting; stderr is dropped.
    pid_t Spawn(std::vector<std::string> args)
    {
        const pid_t child = fork();
        if (child != 0) return child;
        chdir(dir_.Path().c_str());
        setenv("KVCAP_REGISTRY", registry_.c_str(), 1);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        std::vector<char*> argv = {const_cast<char*>(KVCAP_BINARY)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(KVCAP_BINARY, argv.data());
        _exit(127);
    }

    TempDir dir_;
    std::string registry_;
};

// Frames in a Y4M file, checking that every frame is whole.
inline int CountY4mFrames(const std::string& path, size_t frameBytes)
{
    const std::string text = ReadText(path);
    const size_t eol = text.find('\n');
    if (text.rfind("YUV4MPEG2 ", 0) != 0 || eol == std::string::npos) return -1;
    size_t pos = eol + 1;
    int frames = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 6, "FRAME\n") != 0 || pos + 6 + frameBytes > text.size()) return -1;
        pos += 6 + frameBytes;
        ++frames;
    }
    return frames;
}

inline std::string ProbeStream(const std::string& file)
{
    return "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
           "stream=codec_name,pix_fmt,width,height,r_frame_rate,nb_read_frames -of default=noprint_wrappers=1 " +
           file;
}


}  // namespace kvcap_test
