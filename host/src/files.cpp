// The platform's file calls over the host's own files.  A platform path
// ("\My Documents\a.wav") names a file under the files' root: $CEHOST_ROOT,
// or the working directory where it is not set.  The platform's file
// systems ignore case, so a part of a path whose spelling is not found is
// looked up among its folder's names ignoring case.  ".." is refused: a
// path stays under the root.  Sharing modes are accepted and not enforced.
//
// A file's handle is the address of its record here, so it can never be a
// kernel object's (kernel.cpp hands out small numbers); CloseHandle comes
// here for a handle the kernel does not know.  Any thread: the files'
// mutex is a leaf, held for each call's length (reads and writes of local
// files).
// 64-bit file offsets and inode numbers on the 32-bit builds too: without
// them readdir fails (EOVERFLOW) on file systems whose entries need 64 bits,
// as under qemu-arm on a 64-bit host, and files over 2 GiB cannot be sought.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "host_internal.h"

namespace {

struct File {
    int fd;
    bool read, write;
};

std::mutex& g_fileMutex = *new std::mutex;
std::set<File*>& g_files = *new std::set<File*>;

std::string Root()
{
    if (const char* root = std::getenv("CEHOST_ROOT"))
        if (*root)
            return root;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? cwd : ".";
}

// The entry of folder `dir` whose name equals `part` ignoring case; `part`
// itself where there is none (a file about to be made).
std::string FindPart(const std::string& dir, const std::string& part)
{
    struct stat st;
    if (stat((dir + "/" + part).c_str(), &st) == 0)
        return part;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return part;
    std::string found = part;
    while (dirent* e = readdir(d))
        if (strcasecmp(e->d_name, part.c_str()) == 0) {
            found = e->d_name;
            break;
        }
    closedir(d);
    return found;
}

DWORD ErrorOf(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_ACCESS_DENIED;
    }
}

// The record of a file's handle; caller holds g_fileMutex.
File* FileLocked(HANDLE h)
{
    File* f = static_cast<File*>(h);
    return g_files.count(f) ? f : nullptr;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool ParentExists(const std::string& path)
{
    struct stat st;
    const std::string parent = path.substr(0, path.find_last_of('/'));
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace host {

bool HostPath(const WCHAR* path, std::string* out, DWORD* error)
{
    if (path == nullptr || path[0] == 0) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    const std::string text = Narrow(path);
    std::string result = Root();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "..") {
            *error = ERROR_INVALID_NAME;
            return false;
        }
        if (!part.empty() && part != ".")
            result += "/" + FindPart(result, part);
        start = end + 1;
    }
    *out = result;
    return true;
}

bool CloseFileHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_fileMutex);
    File* f = FileLocked(handle);
    if (f == nullptr)
        return false;
    close(f->fd);
    g_files.erase(f);
    delete f;
    return true;
}

}  // namespace host

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/)
{
    std::string path;
    DWORD error = 0;
    if (!host::HostPath(lpFileName, &path, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const bool read = dwDesiredAccess & GENERIC_READ, write = dwDesiredAccess & GENERIC_WRITE;
    int flags = write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!write) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_TRUNC;
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);   // a folder is no file to open
        return INVALID_HANDLE_VALUE;
    }
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int e = errno;
        SetLastError(e == ENOENT && !ParentExists(path) ? ERROR_PATH_NOT_FOUND : ErrorOf(e));
        return INVALID_HANDLE_VALUE;
    }
    auto* f = new File{fd, read, write};
    {
        std::lock_guard<std::mutex> lock(g_fileMutex);
        g_files.insert(f);
    }
    const bool opensAlways = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
    SetLastError(opensAlways && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return f;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr || lpNumberOfBytesRead == nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead))
        return Fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesRead = 0;
    std::lock_guard<std::mutex> lock(g_fileMutex);
    File* f = FileLocked(hFile);
    if (f == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (!f->read)
        return Fail(ERROR_ACCESS_DENIED);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        const ssize_t n = read(f->fd, static_cast<char*>(lpBuffer) + done, nNumberOfBytesToRead - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(ErrorOf(errno));
        if (n == 0)
            break;   // the end of the file: TRUE with fewer bytes, as on the platform
        done += static_cast<DWORD>(n);
    }
    *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr || lpNumberOfBytesWritten == nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite))
        return Fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesWritten = 0;
    std::lock_guard<std::mutex> lock(g_fileMutex);
    File* f = FileLocked(hFile);
    if (f == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (!f->write)
        return Fail(ERROR_ACCESS_DENIED);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t n = write(f->fd, static_cast<const char*>(lpBuffer) + done, nNumberOfBytesToWrite - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *lpNumberOfBytesWritten = done;
            return Fail(n < 0 ? ErrorOf(errno) : ERROR_DISK_FULL);
        }
        done += static_cast<DWORD>(n);
    }
    *lpNumberOfBytesWritten = done;
    return TRUE;
}

// Without lpDistanceToMoveHigh the distance is a signed 32-bit one; with it
// the two halves make a signed 64-bit distance and the new position's high
// half comes back there.  Success sets the last error to 0, so that a
// position whose low half is INVALID_SET_FILE_POINTER can be told apart.
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
    int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh)
        distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                        static_cast<uint32_t>(lDistanceToMove));
    const int whence = dwMoveMethod == FILE_BEGIN ? SEEK_SET : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
                       : dwMoveMethod == FILE_END ? SEEK_END : -1;
    std::lock_guard<std::mutex> lock(g_fileMutex);
    File* f = FileLocked(hFile);
    if (f == nullptr || whence < 0) {
        SetLastError(f ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    const off_t here = lseek(f->fd, 0, SEEK_CUR);
    const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? here : lseek(f->fd, 0, SEEK_END);
    lseek(f->fd, here, SEEK_SET);
    if (base + distance < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    const off_t at = lseek(f->fd, static_cast<off_t>(base + distance), SEEK_SET);
    if (at < 0) {
        SetLastError(ErrorOf(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh)
{
    std::lock_guard<std::mutex> lock(g_fileMutex);
    File* f = FileLocked(hFile);
    struct stat st;
    if (f == nullptr || fstat(f->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    if (lpFileSizeHigh)
        *lpFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(st.st_size);
}

BOOL DeleteFileW(LPCWSTR lpFileName)
{
    std::string path;
    DWORD error = 0;
    if (!host::HostPath(lpFileName, &path, &error))
        return Fail(error);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return Fail(ParentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    if (S_ISDIR(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);   // folders go with RemoveDirectory
    if (unlink(path.c_str()) != 0)
        return Fail(ErrorOf(errno));
    return TRUE;
}

}  // extern "C"
