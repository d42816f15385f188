#include "tools/state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "host/kernel.h"
#include "tools/atomic_file.h"

namespace kvcap {

EnvLookup ProcessEnvironment()
{
    return [](std::string_view name) -> std::optional<std::string> {
        const char* v = std::getenv(std::string(name).c_str());
        if (!v) return std::nullopt;
        return std::string(v);
    };
}

std::optional<RegistryLocation> ResolveRegistryLocation(const std::string& flag, const EnvLookup& env,
                                                        std::string* error)
{
    if (!flag.empty()) return RegistryLocation{flag, "--registry"};
    if (auto v = env("KVCAP_REGISTRY"); v && !v->empty()) return RegistryLocation{*v, "KVCAP_REGISTRY"};
    // Relative XDG values are to be ignored, as the base directory rules say.
    if (auto v = env("XDG_STATE_HOME"); v && !v->empty() && (*v)[0] == '/')
        return RegistryLocation{*v + "/kvcap/registry.reg", "XDG_STATE_HOME"};
    if (auto v = env("HOME"); v && !v->empty() && (*v)[0] == '/')
        return RegistryLocation{*v + "/.local/state/kvcap/registry.reg", "HOME"};
    if (error) *error = "no place for stored settings: HOME is not set; give --registry FILE or KVCAP_REGISTRY";
    return std::nullopt;
}

LoadOutcome LoadRegistryFile(const std::string& path, std::string* error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return LoadOutcome::FirstRun;
        if (error) *error = "registry file " + path + ": " + std::strerror(errno);
        return LoadOutcome::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        if (error) *error = "registry file " + path + ": not a regular file";
        return LoadOutcome::Failed;
    }
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) {
            if (error) *error = "registry file " + path + ": cannot be read";
            return LoadOutcome::Failed;
        }
    }
    const auto result = kv::kernel::registry::LoadFile(path, kv::kernel::registry::LoadMode::Replace);
    if (!result) {
        std::string message = result.message;
        // LoadFile names the file itself; name it once.
        if (message.rfind(path + ": ", 0) == 0) message.erase(0, path.size() + 2);
        if (message.empty()) message = "malformed";
        if (error) *error = "registry file " + path + ": " + message;
        return LoadOutcome::Failed;
    }
    return LoadOutcome::Loaded;
}

bool SaveRegistryFile(const std::string& path, std::string* error)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), error)) return false;
    std::string failure;
    if (!WriteFileAtomically(path, kv::kernel::registry::SaveToText(), &failure)) {
        if (error) *error = "cannot save settings: " + failure;
        return false;
    }
    return true;
}

namespace {

struct ExportKey {
    std::string header;  // "[HKEY_...]" as written
    std::map<std::string, std::string> values;  // name token -> its lines
    std::vector<std::string> order;
};

// The name token at the start of a value line ("Name" with escapes, or @),
// empty when the line is no value.
std::string ValueToken(const std::string& line)
{
    if (line.rfind("@=", 0) == 0) return "@";
    if (line.empty() || line[0] != '"') return {};
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '\\') ++i;
        else if (line[i] == '"') return line.substr(0, i + 1);
    }
    return {};
}

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Keys by lower-case name, in the order of the text.
std::vector<std::pair<std::string, ExportKey>> ParseExport(const std::string& text)
{
    std::vector<std::pair<std::string, ExportKey>> keys;
    std::istringstream in(text);
    std::string line, token, entry;
    auto flush = [&] {
        if (!token.empty() && !keys.empty()) {
            auto& k = keys.back().second;
            if (!k.values.count(token)) k.order.push_back(token);
            k.values[token] = entry;
        }
        token.clear();
        entry.clear();
    };
    bool continued = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (continued) {
            entry += line + "\n";
            continued = !line.empty() && line.back() == '\\';
            if (!continued) flush();
            continue;
        }
        if (line.size() > 2 && line[0] == '[' && line.back() == ']') {
            flush();
            ExportKey k;
            k.header = line;
            keys.emplace_back(Lower(line.substr(1, line.size() - 2)), std::move(k));
            continue;
        }
        const std::string t = ValueToken(line);
        if (t.empty()) continue;  // comments, blank lines, the header
        token = t;
        entry = line + "\n";
        continued = line.back() == '\\';
        if (!continued) flush();
    }
    flush();
    return keys;
}

}  // namespace

std::string RegistryChanges(const std::string& before, const std::string& after)
{
    const auto old = ParseExport(before);
    const auto now = ParseExport(after);
    std::map<std::string, const ExportKey*> oldKeys, newKeys;
    for (const auto& [name, key] : old) oldKeys[name] = &key;
    for (const auto& [name, key] : now) newKeys[name] = &key;

    std::string body;
    // Removed keys; a subkey of a removed key goes with it.
    std::vector<std::string> removed;
    for (const auto& [name, key] : old) {
        if (newKeys.count(name)) continue;
        bool underRemoved = false;
        for (const auto& r : removed) underRemoved = underRemoved || name.rfind(r + "\\", 0) == 0;
        if (underRemoved) continue;
        removed.push_back(name);
        body += "[-" + key.header.substr(1) + "\n\n";
    }
    for (const auto& [name, key] : now) {
        const auto was = oldKeys.find(name);
        const ExportKey* previous = was == oldKeys.end() ? nullptr : was->second;
        std::string lines;
        for (const auto& token : key.order) {
            const std::string& entry = key.values.at(token);
            if (previous) {
                const auto v = previous->values.find(token);
                if (v != previous->values.end() && v->second == entry) continue;
            }
            lines += entry;
        }
        if (previous)
            for (const auto& token : previous->order)
                if (!key.values.count(token)) lines += token + "=-\n";
        if (previous && lines.empty()) continue;
        body += key.header + "\n" + lines + "\n";
    }
    if (body.empty()) return {};
    return "Windows Registry Editor Version 5.00\n\n" + body;
}

bool SaveRegistryChanges(const std::string& path, const std::string& before, std::string* error)
{
    const std::string changes = RegistryChanges(before, kv::kernel::registry::SaveToText());
    if (changes.empty()) return true;  // nothing to say: the file stays as it is

    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash), error)) return false;
    // The file itself is replaced by every save, so the lock lives beside it.
    const std::string lockPath = path + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        if (error) *error = "cannot save settings: cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    bool ok = true;
    std::string failure;
    const LoadOutcome now = LoadRegistryFile(path, &failure);
    if (now == LoadOutcome::Failed) ok = false;
    if (ok && now == LoadOutcome::FirstRun) kv::kernel::registry::LoadFromText(before);
    if (ok) {
        const auto merged = kv::kernel::registry::LoadFromText(changes, kv::kernel::registry::LoadMode::Merge);
        if (!merged) {
            failure = "cannot merge this run's changes: " + merged.message;
            ok = false;
        }
    }
    if (ok && !WriteFileAtomically(path, kv::kernel::registry::SaveToText(), &failure)) ok = false;
    ::close(lock);  // releases the lock
    if (!ok && error) *error = "cannot save settings: " + failure;
    return ok;
}

}  // namespace kvcap
