// A staged file: an output file that appears whole or not at all, written
// where the name leads.
//
// A regular file (or a name that does not exist yet) is written to an
// unnamed file in its directory (O_TMPFILE), linked under a hidden name and
// renamed into place on success, keeping an existing file's permission bits,
// so a run killed before then leaves nothing behind.  Where the file system
// has no unnamed files the data goes to a hidden `.NAME.partial-PID-XXXXXX`
// from the start; a run killed with such a file open leaves it, and the next
// run over the same name removes those whose process is gone (Removed()).  A symbolic link is followed to its final target,
// which is then treated the same way, so the link itself stays a link.  A
// special file (a FIFO, a device, a socket) and "-" (standard output) are
// never replaced: the data is staged in an anonymous temporary file and
// copied into them on success, so a reader sees the whole output or nothing,
// and formats that rewrite their header at the end work on pipes as well.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace player {

// The file a name reaches, following symbolic links: an existing file by its
// device and inode; a name not there yet by its folder's device and inode and
// its own last component, which is the file a run would make there.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string name;      // empty for an existing file
    bool special = false;  // an existing file that is not a regular one (a device, a FIFO)
    bool operator==(const FileIdentity& o) const { return dev == o.dev && ino == o.ino && name == o.name; }
};
// False with errno set when the name cannot be followed (a link loop, a
// folder that is not there or cannot be searched).
bool IdentifyFile(const std::string& path, FileIdentity* id);

// An unnamed read-write file in $TMPDIR (or /tmp): nothing is left behind
// whatever happens to the process.  -1 with errno set when none can be made.
int AnonymousFile();

class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile();   // removes the temporary unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Opens the destination and the temporary.  False with a message naming
    // `path` when the directory cannot be written, `path` is a directory, the
    // special file cannot be opened for writing, or an existing regular file
    // is one this process could not open for writing (the rename would
    // replace it all the same; the error is the one such an open would give).  Opening a FIFO waits
    // for its reader, as a shell redirection does.
    bool Create(const std::string& path, std::string* error);
    bool IsOpen() const { return fd_ >= 0; }
    // The name as given ("-" for standard output).
    const std::string& Path() const { return path_; }
    bool IsStandardOutput() const { return path_ == "-"; }
    // The data is copied into a special file or standard output on Commit,
    // which may fail there (a full device); a regular file is renamed.
    bool CopiesOnCommit() const { return destFd_ >= 0; }

    // The descriptor of the staged data.  ReleaseFd hands out a duplicate the
    // caller owns and closes (libsndfile closes the one it is given); both
    // share one file offset.
    int Fd() const { return fd_; }
    int ReleaseFd();
    // Writes all of `text`; false on a short write.
    bool WriteAll(const std::string& text, std::string* error);

    // Puts the data in place: renames the temporary, or copies it into the
    // special file or standard output.  A copy stops between blocks once a
    // stop signal came (run/failure.h), failing with EINTR's message.
    bool Commit(std::string* error);
    // Drops the staged data; the destination is left as it was.
    void Abort();

    // The stale partial files of this name that Create removed: hidden
    // temporaries left by runs that were killed.
    const std::vector<std::string>& Removed() const { return removed_; }

private:
    bool Fail(std::string* error, const std::string& why);
    bool CopyIntoDestination(std::string* error);
    bool LinkUnnamed(std::string* error);

    std::string path_;      // as given
    std::string target_;    // after following symbolic links
    std::string temp_;      // the hidden temporary, when renaming a named one
    bool unnamed_ = false;  // fd_ is an unnamed file in the target's directory
    std::vector<std::string> removed_;   // stale partial files removed by Create
    int fd_ = -1;           // staged data
    int destFd_ = -1;       // the special file or standard output, when copying
};

}  // namespace player
