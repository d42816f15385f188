#include "tools/state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

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

}  // namespace kvcap
