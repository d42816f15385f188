// Output files that never look complete before they are: a regular file (or
// a new name) is written to a temporary file beside the target
// ("NAME.part-XXXXXX") and renamed over the target only when the writer
// commits; an overwritten file keeps its mode. An interrupted, failed or
// crashed run leaves at most a ".part-" file behind, never a file under the
// final name with half its content, and a second Ctrl-C removes even that.
//
// Only regular files are ever replaced: a FIFO or a character device (a
// player's pipe, /dev/null) is written straight into, and a symbolic link is
// followed, so the link stays and its target gets the content. Block
// devices, sockets and directories are refused.
//
// The name "-" means standard output: written straight through, committed
// by a flush (a pipe has nothing to rename).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kvcap {

class AtomicFile {
public:
    // Creates the temporary file. Null with *error set when it cannot be
    // created (missing directory, no permission, the target is a directory).
    static std::unique_ptr<AtomicFile> Create(const std::string& path, std::string* error);
    ~AtomicFile();  // abandons unless committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool Write(const void* data, size_t size, std::string* error);
    bool Write(std::string_view text, std::string* error) { return Write(text.data(), text.size(), error); }
    // Flushes to disk and renames into place; after a failure the temporary
    // file is gone and the target is untouched.
    bool Commit(std::string* error);
    // Removes the temporary file; the target is untouched.
    void Abandon();

    const std::string& Path() const { return path_; }
    const std::string& TempPath() const { return tempPath_; }
    bool IsStdout() const { return toStdout_; }
    // Written in place (standard output, a FIFO, a device): nothing to
    // rename and nothing to remove when abandoned.
    bool IsDirect() const { return direct_; }
    uint64_t BytesWritten() const { return written_; }
    // The reader of standard output went away (EPIPE): for a pipe into a
    // player that is the end of the stream, not a failure.
    bool PipeClosed() const { return pipeClosed_; }

private:
    AtomicFile() = default;

    std::string path_;
    std::string tempPath_;
    std::string renameTarget_;  // the path, or the file a symbolic link leads to
    int fd_ = -1;
    bool toStdout_ = false;
    bool direct_ = false;
    int tempSlot_ = -1;  // where the signal handler finds the temporary name
    bool done_ = false;
    bool pipeClosed_ = false;
    uint64_t written_ = 0;
};

// Removes every temporary file still open, with async-signal-safe calls
// only: what a signal handler that ends the program calls first.
void RemoveTemporaryFilesForSignal();

// Writes `contents` to `path` through a temporary file and a rename.
bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string* error);

// Creates a directory and its missing parents (mode 0700 for new ones, as a
// state directory should be). False with *error set on failure.
bool MakeDirectories(const std::string& path, std::string* error);

}  // namespace kvcap
