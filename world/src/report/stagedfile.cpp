#include "report/stagedfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <random>
#include <vector>


namespace player {

// Set by the application's signal handler (the player's: run/failure.h);
// a long write that may be stopped gives up once it is set.
volatile std::sig_atomic_t g_interrupted = 0;
namespace {

std::string DirectoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links from `path` to the name that is not one (which may
// not exist yet).  False with errno set on a loop or an unreadable link.
bool FinalTarget(const std::string& path, std::string* target, struct stat* st, bool* exists)
{
    std::string name = path;
    for (int hops = 0; hops <= 40; ++hops) {
        if (lstat(name.c_str(), st) != 0) {
            if (errno != ENOENT)
                return false;
            *exists = false;
            *target = name;
            return true;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            *target = name;
            return true;
        }
        std::vector<char> link(4096);
        ssize_t n = readlink(name.c_str(), link.data(), link.size() - 1);
        if (n < 0)
            return false;
        std::string to(link.data(), static_cast<size_t>(n));
        name = to[0] == '/' ? to : DirectoryOf(name) + "/" + to;
    }
    errno = ELOOP;
    return false;
}


// The hidden name of a partial file: `.NAME.partial-PID-XXXXXX`, PID the
// writer's, so that a later run can tell a stale one from one being written.
std::string PartialPrefix(const std::string& base)
{
    return "." + base + ".partial-";
}

bool IsAlnum6(const char* s)
{
    for (int i = 0; i < 6; ++i)
        if (!(std::isalnum(static_cast<unsigned char>(s[i]))))
            return false;
    return s[6] == '\0';
}

// Removes the partial files of `base` in `dir` that no live process is
// writing: those whose PID is gone, and those of the older form
// `.NAME.partial-XXXXXX`, which names no writer.  A partial file of a live
// process (another run writing the same name) stays.
void RemoveStalePartials(const std::string& dir, const std::string& base, std::vector<std::string>* removed)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    const std::string prefix = PartialPrefix(base);
    while (struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
            continue;
        const char* rest = name + prefix.size();
        bool stale = false;
        if (std::strlen(rest) == 6) {
            stale = IsAlnum6(rest);
        } else {
            char* end = nullptr;
            errno = 0;
            long pid = std::strtol(rest, &end, 10);
            if (end != rest && *end == '-' && errno == 0 && pid > 0 && IsAlnum6(end + 1))
                stale = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        }
        std::string path = dir + "/" + name;
        if (stale && unlink(path.c_str()) == 0)
            removed->push_back(path);
    }
    closedir(d);
}

std::string RandomSuffix()
{
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::string s;
    for (int i = 0; i < 6; ++i)
        s += kChars[rd() % (sizeof kChars - 1)];
    return s;
}

// Writes all of `data`.  `stoppable`: not once a stop signal came, as a
// reader of a FIFO that stopped reading would hold the run in this loop.
bool WriteFully(int fd, const char* data, size_t size, bool stoppable = false)
{
    size_t done = 0;
    while (done < size) {
        if (stoppable && g_interrupted) {
            errno = EINTR;
            return false;
        }
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int AnonymousFile()
{
    const char* base = std::getenv("TMPDIR");
    std::string dir = base && *base ? base : "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    std::string pattern = dir + "/btwav-play-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = mkstemp(name.data());
    if (fd >= 0)
        unlink(name.data());
    return fd;
}

bool IdentifyFile(const std::string& path, FileIdentity* id)
{
    std::string target;
    struct stat st;
    bool exists = false;
    if (!FinalTarget(path, &target, &st, &exists))
        return false;
    *id = FileIdentity();
    if (!exists) {
        // The run would make the file in this folder under this name.
        id->name = BaseName(target);
        if (stat(DirectoryOf(target).c_str(), &st) != 0)
            return false;
    }
    id->dev = st.st_dev;
    id->ino = st.st_ino;
    id->special = exists && !S_ISREG(st.st_mode);
    return true;
}

StagedFile::~StagedFile()
{
    Abort();
}

bool StagedFile::Fail(std::string* error, const std::string& why)
{
    *error = "cannot write '" + path_ + "': " + why;
    return false;
}

bool StagedFile::Create(const std::string& path, std::string* error)
{
    Abort();
    path_ = path;
    removed_.clear();
    if (path == "-") {
        fd_ = AnonymousFile();
        if (fd_ < 0)
            return Fail(error, std::string("no temporary file: ") + std::strerror(errno));
        destFd_ = STDOUT_FILENO;
        return true;
    }

    struct stat st;
    bool exists = false;
    if (!FinalTarget(path, &target_, &st, &exists))
        return Fail(error, std::strerror(errno));
    if (exists && S_ISDIR(st.st_mode))
        return Fail(error, "it is a directory");
    // The rename needs only the folder's permission, so it would replace a
    // file its owner made read-only, or another user's: refused as opening
    // it for writing would be (with the effective identity, so root may).
    if (exists && S_ISREG(st.st_mode) && faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail(error, std::strerror(errno));

    if (exists && !S_ISREG(st.st_mode)) {
        // A FIFO, a device or a socket: written in place, never replaced.
        destFd_ = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (destFd_ < 0)
            return Fail(error, std::strerror(errno));
        fd_ = AnonymousFile();
        if (fd_ < 0) {
            int e = errno;
            close(destFd_);
            destFd_ = -1;
            return Fail(error, std::string("no temporary file: ") + std::strerror(e));
        }
        return true;
    }

    std::string dir = DirectoryOf(target_);
    std::string base = BaseName(target_);
    if (base.empty())
        return Fail(error, "no file name");
    RemoveStalePartials(dir, base, &removed_);
    int fd = -1;
#ifdef O_TMPFILE
    fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd >= 0) {
        unnamed_ = true;
    } else {
        // No unnamed files here (a file system without them): a named one.
        std::string pattern = dir + "/" + PartialPrefix(base) + std::to_string(getpid()) + "-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = mkstemp(name.data());
        if (fd < 0)
            return Fail(error, std::strerror(errno));
        temp_ = name.data();
    }
    // The staged file is private: a replaced file keeps its permission
    // bits, a new one gets the usual ones.
    mode_t mode;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    fd_ = fd;
    return true;
}

int StagedFile::ReleaseFd()
{
    return fd_ < 0 ? -1 : fcntl(fd_, F_DUPFD_CLOEXEC, 0);
}

bool StagedFile::WriteAll(const std::string& text, std::string* error)
{
    if (fd_ < 0)
        return Fail(error, "not open");
    if (!WriteFully(fd_, text.data(), text.size()))
        return Fail(error, std::strerror(errno));
    return true;
}

bool StagedFile::CopyIntoDestination(std::string* error)
{
    if (lseek(fd_, 0, SEEK_SET) != 0)
        return Fail(error, std::strerror(errno));
    std::vector<char> block(1 << 16);
    for (;;) {
        ssize_t n = read(fd_, block.data(), block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(error, std::strerror(errno));
        if (n == 0)
            return true;
        if (!WriteFully(destFd_, block.data(), static_cast<size_t>(n), true))
            return Fail(error, std::strerror(errno));
    }
}

bool StagedFile::Commit(std::string* error)
{
    if (fd_ < 0)
        return Fail(error, "not open");
    if (destFd_ >= 0) {
        bool ok = CopyIntoDestination(error);
        Abort();
        return ok;
    }
    if (fsync(fd_) != 0 && errno != EINVAL)
        return Fail(error, std::strerror(errno));
    if (unnamed_ && !LinkUnnamed(error))
        return false;
    int rc = close(fd_);
    fd_ = -1;
    if (rc != 0)
        return Fail(error, std::strerror(errno));
    if (rename(temp_.c_str(), target_.c_str()) != 0)
        return Fail(error, std::strerror(errno));
    temp_.clear();
    return true;
}

// Gives the unnamed file a hidden name beside the target, from which Commit
// renames it into place (a link cannot replace an existing file).
bool StagedFile::LinkUnnamed(std::string* error)
{
    std::string dir = DirectoryOf(target_);
    std::string base = BaseName(target_);
    std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = dir + "/" + PartialPrefix(base) + std::to_string(getpid()) + "-" + RandomSuffix();
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = name;
            unnamed_ = false;
            return true;
        }
        if (errno != EEXIST)
            return Fail(error, std::string("cannot link the staged file: ") + std::strerror(errno));
    }
    return Fail(error, "cannot link the staged file: no free name");
}

void StagedFile::Abort()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    unnamed_ = false;
    if (destFd_ >= 0 && destFd_ != STDOUT_FILENO)
        close(destFd_);
    destFd_ = -1;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace player
