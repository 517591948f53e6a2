// FindFirstFile, FindNextFile and FindClose over the host's files (the
// paths as files.cpp reads them).  A search lists, when it starts, the
// names of its folder that match the last part of the path ('*' and '?',
// ignoring case as the platform's file systems do; "*.*" is every name),
// sorted by name, never "." or "..".  Its handle is the address of its
// record.  Any thread: the searches' mutex is a leaf.
// 64-bit file offsets and inode numbers on the 32-bit builds too: without
// them readdir fails (EOVERFLOW) on file systems whose entries need 64 bits,
// as under qemu-arm on a 64-bit host, and files over 2 GiB cannot be sought.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"
#include "host_internal.h"

namespace {

struct Search {
    std::string folder;
    std::vector<std::string> names;
    size_t next = 0;
};

std::mutex& g_searchMutex = *new std::mutex;
std::set<Search*>& g_searches = *new std::set<Search*>;

// 100-ns intervals since 1601, the platform's file time.
FILETIME FileTime(const timespec& t)
{
    const uint64_t v = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                       static_cast<uint64_t>(t.tv_nsec) / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
}

bool Fill(const std::string& folder, const std::string& name, WIN32_FIND_DATAW* data)
{
    struct stat st;
    if (stat((folder + "/" + name).c_str(), &st) != 0)
        return false;
    std::memset(data, 0, sizeof *data);
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    if (name[0] == '.')
        attributes |= FILE_ATTRIBUTE_HIDDEN;
    data->dwFileAttributes = attributes;
    data->ftCreationTime = FileTime(st.st_mtim);
    data->ftLastWriteTime = FileTime(st.st_mtim);
    data->ftLastAccessTime = FileTime(st.st_atim);
    if (!S_ISDIR(st.st_mode)) {
        data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        data->nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
    data->dwOID = static_cast<DWORD>(st.st_ino);
    const std::u16string wide = host::Widen(name).substr(0, MAX_PATH - 1);
    std::memcpy(data->cFileName, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return true;
}

// The entry at the search's position (skipping any that went since it
// started); false at the end.  Caller holds g_searchMutex.
bool NextLocked(Search* s, WIN32_FIND_DATAW* data)
{
    while (s->next < s->names.size())
        if (Fill(s->folder, s->names[s->next++], data))
            return true;
    return false;
}

}  // namespace

extern "C" {

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    std::string path;
    DWORD error = 0;
    if (lpFindFileData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!host::HostPath(lpFileName, &path, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const size_t slash = path.find_last_of('/');
    auto* s = new Search;
    s->folder = path.substr(0, slash);
    std::string pattern = path.substr(slash + 1);
    if (pattern == "*.*")
        pattern = "*";
    DIR* d = opendir(s->folder.c_str());
    if (d == nullptr) {
        delete s;
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD | FNM_NOESCAPE) == 0)
            s->names.push_back(name);
    }
    closedir(d);
    std::sort(s->names.begin(), s->names.end());
    std::lock_guard<std::mutex> lock(g_searchMutex);
    if (!NextLocked(s, lpFindFileData)) {
        delete s;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    g_searches.insert(s);
    return s;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    std::lock_guard<std::mutex> lock(g_searchMutex);
    auto* s = static_cast<Search*>(hFindFile);
    if (g_searches.count(s) == 0 || lpFindFileData == nullptr) {
        SetLastError(lpFindFileData ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!NextLocked(s, lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile)
{
    std::lock_guard<std::mutex> lock(g_searchMutex);
    auto* s = static_cast<Search*>(hFindFile);
    if (g_searches.erase(s) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete s;
    return TRUE;
}

}  // extern "C"
