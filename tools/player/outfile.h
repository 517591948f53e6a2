// Output files that appear whole or not at all: each is written to a hidden
// temporary beside its final name and renamed into place on success.
#pragma once

#include <string>

namespace player {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();   // removes the temporary unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary.  False with a message naming `path` when the
    // directory cannot be written or `path` is a directory.
    bool Create(const std::string& path, std::string* error);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // The descriptor; ownership passes to the caller (who closes it) after
    // ReleaseFd.  Commit closes it if still owned.
    int Fd() const { return fd_; }
    int ReleaseFd();
    // Writes all of `text`; false on a short write.
    bool WriteAll(const std::string& text, std::string* error);

    // Renames the temporary to the final name.
    bool Commit(std::string* error);
    // Removes the temporary.
    void Abort();

private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool owned_ = false;
};

}  // namespace player
