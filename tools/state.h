// Stored settings between runs: the emulated registry, kept in a file in the
// Registry Editor export format so a person can read and edit it.
//
// Where the file is, first match wins:
//   --registry FILE                     (the flag)
//   $KVCAP_REGISTRY                     (the environment)
//   $XDG_STATE_HOME/kvcap/registry.reg  (XDG state directory, when absolute)
//   $HOME/.local/state/kvcap/registry.reg
// A missing file is a first run: nothing is loaded. A file that cannot be
// read or parsed stops the run with one line naming the file (and the line
// for a parse error), and the file is left as it is.
//
// Commands that only look never write the file. Commands that change
// settings save only what they changed: at the end the file is locked
// (flock on "FILE.lock"), read again, the run's changes are applied to what
// it holds now, and it is replaced through a temporary file and a rename.
// So a `kvcap set` made while a capture runs survives the capture's end.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kvcap {

using EnvLookup = std::function<std::optional<std::string>(std::string_view name)>;
EnvLookup ProcessEnvironment();

struct RegistryLocation {
    std::string path;
    std::string origin;  // "--registry", "KVCAP_REGISTRY", "XDG_STATE_HOME", "HOME"
};

// Nullopt with *error set when no location can be found (no flag, no
// variable, no usable home directory) or the flag is empty.
std::optional<RegistryLocation> ResolveRegistryLocation(const std::string& flag, const EnvLookup& env,
                                                        std::string* error);

enum class LoadOutcome { Loaded, FirstRun, Failed };
// Replaces the emulated registry with the file's contents.
LoadOutcome LoadRegistryFile(const std::string& path, std::string* error);
// Saves the whole emulated registry; creates the directory when needed.
bool SaveRegistryFile(const std::string& path, std::string* error);

// The changes from one export text to another, as an export text to merge
// (values set, "NAME"=- for values removed, [-KEY] for keys removed); empty
// when nothing changed.
std::string RegistryChanges(const std::string& before, const std::string& after);
// Applies the changes the emulated registry has since `before` (its export
// text when the run began) to the file's current content, under the lock.
// Leaves the emulated registry holding what was saved.
bool SaveRegistryChanges(const std::string& path, const std::string& before, std::string* error);

}  // namespace kvcap
