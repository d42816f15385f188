#include "tools/atomic_file.h"

#include <cerrno>
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
        file->fd_ = STDOUT_FILENO;
        return file;
    }
    if (path.empty()) {
        if (error) *error = "empty output file name";
        return nullptr;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (error) *error = "cannot write " + path + ": it is a directory";
        return nullptr;
    }
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = ".part-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        if (error) *error = Errno("cannot create", path);
        return nullptr;
    }
    // mkstemp makes the file private; the finished file gets the usual mode.
    ::fchmod(fd, 0666 & ~CurrentUmask());
    file->fd_ = fd;
    file->tempPath_ = name.data();
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
            if (errno == EPIPE && toStdout_) pipeClosed_ = true;
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
    if (ok && ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        if (error) *error = Errno("cannot rename into", path_);
        ok = false;
    }
    if (!ok) ::unlink(tempPath_.c_str());
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
    if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
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
