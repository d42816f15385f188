#include "tools/atomic_file.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvcap {

namespace {

std::string Errno(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

// Temporary names the signal handler may have to remove: fixed storage, as
// the handler can neither allocate nor lock.
constexpr int kTempSlots = 16;
char g_tempNames[kTempSlots][4096];
volatile std::sig_atomic_t g_tempUsed[kTempSlots];

int RememberTemporary(const std::string& name)
{
    if (name.size() >= sizeof g_tempNames[0]) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_tempUsed[i]) continue;
        std::memcpy(g_tempNames[i], name.c_str(), name.size() + 1);
        g_tempUsed[i] = 1;
        return i;
    }
    return -1;
}

void ForgetTemporary(int slot)
{
    if (slot >= 0) g_tempUsed[slot] = 0;
}

mode_t CurrentUmask()
{
    // umask can only be read by setting it; put it straight back.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

std::unique_ptr<AtomicFile> AtomicFile::Create(const std::string& path, std::string* error)
{
    std::unique_ptr<AtomicFile> file(new AtomicFile);
    file->path_ = path;
    if (path == "-") {
        file->toStdout_ = true;
        file->direct_ = true;
        file->fd_ = STDOUT_FILENO;
        return file;
    }
    if (path.empty()) {
        if (error) *error = "empty output file name";
        return nullptr;
    }
    // What the name is now decides how it is written: lstat for the name,
    // stat for what it leads to.
    struct stat link {}, st {};
    const bool named = ::lstat(path.c_str(), &link) == 0;
    const bool reaches = named && ::stat(path.c_str(), &st) == 0;
    std::string target = path;
    if (reaches) {
        if (S_ISDIR(st.st_mode)) {
            if (error) *error = "cannot write " + path + ": it is a directory";
            return nullptr;
        }
        if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            // A reader's pipe or a device: written into, never replaced.
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) {
                if (error) *error = Errno("cannot open", path);
                return nullptr;
            }
            file->fd_ = fd;
            file->direct_ = true;
            return file;
        }
        if (!S_ISREG(st.st_mode)) {
            if (error) *error = "cannot write " + path + ": not a regular file, FIFO or character device";
            return nullptr;
        }
        if (S_ISLNK(link.st_mode)) {
            // The link stays; the file it leads to is replaced beside itself.
            char resolved[PATH_MAX];
            if (!::realpath(path.c_str(), resolved)) {
                if (error) *error = Errno("cannot follow", path);
                return nullptr;
            }
            target = resolved;
        }
    } else if (named && S_ISLNK(link.st_mode)) {
        // A dangling link: create what it names, through it.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (error) *error = Errno("cannot create", path);
            return nullptr;
        }
        file->fd_ = fd;
        file->direct_ = true;
        return file;
    }
    std::vector<char> name(target.begin(), target.end());
    const std::string suffix = ".part-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    // An interrupt between creating the temporary file and remembering its
    // name would leave it behind: the two happen with interrupts held back.
    sigset_t interrupts, before;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, &before);
    const int fd = ::mkstemp(name.data());
    const int slot = fd < 0 ? -1 : RememberTemporary(name.data());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0) {
        if (error) *error = Errno("cannot create", path);
        return nullptr;
    }
    // mkstemp makes the file private; the finished file gets the mode of the
    // one it replaces, else the usual mode.
    ::fchmod(fd, reaches ? (st.st_mode & 07777) : (0666 & ~CurrentUmask()));
    file->renameTarget_ = target;
    file->fd_ = fd;
    file->tempPath_ = name.data();
    file->tempSlot_ = slot;
    return file;
}

AtomicFile::~AtomicFile()
{
    if (!done_) Abandon();
}

bool AtomicFile::Write(const void* data, size_t size, std::string* error)
{
    if (done_ || fd_ < 0) {
        if (error) *error = "write to " + path_ + " after it was closed";
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE && direct_) pipeClosed_ = true;
            if (error) *error = Errno("cannot write", toStdout_ ? std::string("standard output") : path_);
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        written_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool AtomicFile::Commit(std::string* error)
{
    if (done_) {
        if (error) *error = path_ + " was already closed";
        return false;
    }
    done_ = true;
    if (toStdout_) {
        fd_ = -1;
        return true;
    }
    if (direct_) {
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        if (!closed && error) *error = Errno("cannot close", path_);
        return closed;
    }
    bool ok = true;
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        if (error) *error = Errno("cannot flush", path_);
        ok = false;
    }
    if (::close(fd_) != 0 && ok) {
        if (error) *error = Errno("cannot close", path_);
        ok = false;
    }
    fd_ = -1;
    if (ok && ::rename(tempPath_.c_str(), renameTarget_.c_str()) != 0) {
        if (error) *error = Errno("cannot rename into", path_);
        ok = false;
    }
    if (!ok) ::unlink(tempPath_.c_str());
    // Forgotten only once it is renamed or gone: an interrupt before that
    // still removes it (after the rename the name no longer exists).
    ForgetTemporary(tempSlot_);
    tempSlot_ = -1;
    return ok;
}

void AtomicFile::Abandon()
{
    done_ = true;
    if (toStdout_) {
        fd_ = -1;
        return;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty() && !direct_) ::unlink(tempPath_.c_str());
    ForgetTemporary(tempSlot_);
    tempSlot_ = -1;
}

void RemoveTemporaryFilesForSignal()
{
    for (int i = 0; i < kTempSlots; ++i)
        if (g_tempUsed[i]) ::unlink(g_tempNames[i]);
}

bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string* error)
{
    auto file = AtomicFile::Create(path, error);
    if (!file) return false;
    if (!file->Write(contents, error)) return false;
    return file->Commit(error);
}

bool MakeDirectories(const std::string& path, std::string* error)
{
    if (path.empty()) return true;
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        const size_t next = path.find('/', pos);
        const size_t end = next == std::string::npos ? path.size() : next;
        partial = path.substr(0, end);
        pos = end + 1;
        if (partial.empty()) continue;  // the root
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = Errno("cannot create directory", partial);
            return false;
        }
        if (next == std::string::npos) break;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = "cannot create directory " + path + ": a file is in the way";
        return false;
    }
    return true;
}

}  // namespace kvcap
