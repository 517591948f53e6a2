#include "outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace player {

OutputFile::~OutputFile()
{
    Abort();
}

bool OutputFile::Create(const std::string& path, std::string* error)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = "cannot write '" + path + "': it is a directory";
        return false;
    }
    std::string dir = ".";
    std::string base = path;
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
    if (base.empty()) {
        *error = "cannot write '" + path + "': no file name";
        return false;
    }
    std::string pattern = dir + "/." + base + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the usual permissions.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    path_ = path;
    temp_ = name.data();
    fd_ = fd;
    owned_ = true;
    return true;
}

int OutputFile::ReleaseFd()
{
    owned_ = false;
    return fd_;
}

bool OutputFile::WriteAll(const std::string& text, std::string* error)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = "cannot write '" + path_ + "': " + std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::Commit(std::string* error)
{
    if (temp_.empty()) {
        *error = "cannot write '" + path_ + "': not open";
        return false;
    }
    if (owned_ && fd_ >= 0) {
        if (fsync(fd_) != 0 && errno != EINVAL) {
            *error = "cannot write '" + path_ + "': " + std::strerror(errno);
            return false;
        }
        if (close(fd_) != 0) {
            *error = "cannot write '" + path_ + "': " + std::strerror(errno);
            fd_ = -1;
            return false;
        }
    }
    fd_ = -1;
    owned_ = false;
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        *error = "cannot write '" + path_ + "': " + std::strerror(errno);
        return false;
    }
    temp_.clear();
    return true;
}

void OutputFile::Abort()
{
    if (owned_ && fd_ >= 0)
        close(fd_);
    fd_ = -1;
    owned_ = false;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace player
