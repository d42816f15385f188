// Kernel-side folders are built as a kernel-mode image would be: no standard
// containers or streams, no new/delete. These tests read the sources and fail
// on the first file that breaks the rule.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kKernelFolders[] = {"platform", "driver", "capture", "hw", "props", "settings", "classlib",
                                      "pipeline"};

// Hosted headers that need the C++ runtime, allocation or exceptions.
const char* const kForbiddenHeaders[] = {
    "vector", "list", "deque", "map", "set", "unordered_map", "unordered_set", "string", "string_view",
    "iostream", "istream", "ostream", "sstream", "fstream", "iomanip", "memory", "functional", "thread",
    "mutex", "future", "regex", "stdexcept", "exception", "typeinfo", "any", "variant", "optional", "queue",
    "stack", "bitset", "filesystem", "chrono", "random", "locale", "codecvt", "valarray", "new"};

std::vector<fs::path> KernelSources()
{
    std::vector<fs::path> files;
    for (const char* folder : kKernelFolders) {
        fs::path dir = fs::path(KV_SOURCE_DIR) / folder;
        if (!fs::exists(dir)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const auto ext = entry.path().extension();
            if (entry.is_regular_file() && (ext == ".h" || ext == ".cpp" || ext == ".hpp" || ext == ".cc")) {
                files.push_back(entry.path());
            }
        }
    }
    return files;
}

// Source text with comments, string and character literals blanked out, so
// that words inside them do not count.
std::string CodeOnly(const std::string& text)
{
    std::string out = text;
    enum { Code, Line, Block, Str, Chr } state = Code;
    for (size_t i = 0; i < out.size(); ++i) {
        char c = out[i];
        char n = i + 1 < out.size() ? out[i + 1] : '\0';
        switch (state) {
        case Code:
            if (c == '/' && n == '/') { state = Line; out[i] = ' '; }
            else if (c == '/' && n == '*') { state = Block; out[i] = ' '; }
            else if (c == '"') { state = Str; }
            else if (c == '\'') { state = Chr; }
            break;
        case Line:
            if (c == '\n') state = Code; else out[i] = ' ';
            break;
        case Block:
            if (c == '*' && n == '/') { out[i] = ' '; out[i + 1] = ' '; ++i; state = Code; }
            else if (c != '\n') out[i] = ' ';
            break;
        case Str:
            if (c == '\\') { out[i] = ' '; if (i + 1 < out.size()) out[++i] = ' '; }
            else if (c == '"') state = Code; else out[i] = ' ';
            break;
        case Chr:
            if (c == '\\') { out[i] = ' '; if (i + 1 < out.size()) out[++i] = ' '; }
            else if (c == '\'') state = Code; else out[i] = ' ';
            break;
        }
    }
    return out;
}

std::string Read(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(KernelRules, KernelFoldersHaveSources)
{
    EXPECT_FALSE(KernelSources().empty());
}

TEST(KernelRules, NoHostedContainerOrStreamHeaders)
{
    const std::regex include(R"(^\s*#\s*include\s*<([^>]+)>)");
    for (const auto& file : KernelSources()) {
        std::istringstream lines(Read(file));
        std::string line;
        int number = 0;
        while (std::getline(lines, line)) {
            ++number;
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const std::string header = m[1];
            for (const char* bad : kForbiddenHeaders) {
                EXPECT_NE(header, bad) << file.string() << ":" << number << " includes <" << header << ">";
            }
        }
    }
}

// `new` and `delete` are keywords, so a whole-word match in code (comments and
// literals blanked) is an allocation or a deallocation; `= delete` on a
// special member is a declaration and is allowed.
bool UsesNewOrDelete(const std::string& codeLine)
{
    static const std::regex deletedFunction(R"(=\s*delete\s*;)");
    static const std::regex keyword(R"(\b(new|delete)\b)");
    return std::regex_search(std::regex_replace(codeLine, deletedFunction, ";"), keyword);
}

TEST(KernelRules, NoNewOrDelete)
{
    for (const auto& file : KernelSources()) {
        std::istringstream lines(CodeOnly(Read(file)));
        std::string line;
        int number = 0;
        while (std::getline(lines, line)) {
            ++number;
            EXPECT_FALSE(UsesNewOrDelete(line)) << file.string() << ":" << number << ": " << line;
        }
    }
}

TEST(KernelRules, CheckerSeesViolations)
{
    // The checker itself: comments and strings do not count, code does.
    EXPECT_EQ(CodeOnly("a // new vector\n\"delete\" b"), "a              \n\"      \" b");
    EXPECT_TRUE(UsesNewOrDelete("p = new Foo;"));
    EXPECT_TRUE(UsesNewOrDelete("p = new (buf) Foo;"));
    EXPECT_TRUE(UsesNewOrDelete("delete[] p;"));
    EXPECT_FALSE(UsesNewOrDelete("Foo(const Foo&) = delete;"));
    EXPECT_FALSE(UsesNewOrDelete("renewed = new_value;"));
}
