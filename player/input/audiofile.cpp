// Audio files decoded with libsndfile, chunk by chunk, each opened once; a
// pipe is first read to its end into an unnamed file.
#include "input/audio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sndfile.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "report/stagedfile.h"

namespace player {
namespace {

std::string FormatName(int format)
{
    auto name = [](int f) -> std::string {
        SF_FORMAT_INFO info{};
        info.format = f;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name)
            return info.name;
        char buf[32];
        std::snprintf(buf, sizeof buf, "format 0x%X", static_cast<unsigned>(f));
        return buf;
    };
    return name(format & SF_FORMAT_TYPEMASK) + ", " + name(format & SF_FORMAT_SUBMASK);
}

bool EndsWith(const std::string& s, const char* tail)
{
    size_t n = std::strlen(tail);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i])
            return false;
    return true;
}

// ---- Files ------------------------------------------------------------------------

class FileDecoder : public Decoder {
public:
    // Takes the file and the descriptor it reads, closing both.
    FileDecoder(SNDFILE* f, int fd, const SF_INFO& sf, const std::string& path) : f_(f), fd_(fd)
    {
        info_.origin = path == "-" ? "standard input" : path;
        info_.format = FormatName(sf.format);
        info_.rate = static_cast<uint32_t>(sf.samplerate);
        info_.channels = static_cast<uint32_t>(sf.channels);
        info_.frames = sf.frames;
        // An MP3 file's length is counted from its first frames' bit rate:
        // an estimate, which the decode may well fall short of.
        info_.framesEstimated = (sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
        switch (sf.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: case SF_FORMAT_DOUBLE: case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            // FLAC names its sample width as the subformat.
            info_.compressed = (sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
            break;
        default:
            info_.compressed = true;
            break;
        }
        // Each encoding is read in the narrowest type that holds it whole.
        switch (sf.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8:
            info_.bits = 8; info_.type = SampleType::Int16; break;
        case SF_FORMAT_ULAW:
            info_.bits = 8; info_.formatTag = 7; info_.type = SampleType::Int16; break;
        case SF_FORMAT_ALAW:
            info_.bits = 8; info_.formatTag = 6; info_.type = SampleType::Int16; break;
        case SF_FORMAT_PCM_16:
            info_.bits = 16; info_.type = SampleType::Int16; break;
        case SF_FORMAT_PCM_24:
            info_.bits = 24; info_.type = SampleType::Int32; break;
        case SF_FORMAT_PCM_32:
            info_.bits = 32; info_.type = SampleType::Int32; break;
        case SF_FORMAT_DOUBLE:
            info_.bits = 64; info_.formatTag = 3; info_.type = SampleType::Double; break;
        case SF_FORMAT_FLOAT:
            info_.bits = 32; info_.formatTag = 3; info_.type = SampleType::Float; break;
        default:
            // Compressed encodings (Vorbis, Opus, MP3, ...) decode to float;
            // lossless ones of 16 bits or less are read exactly as 16-bit.
            if ((sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) {
                int sub = sf.format & SF_FORMAT_SUBMASK;
                info_.bits = sub == SF_FORMAT_PCM_24 ? 24 : sub == SF_FORMAT_PCM_S8 ? 8 : 16;
                info_.type = info_.bits == 24 ? SampleType::Int32 : SampleType::Int16;
            } else {
                info_.bits = 32;
                info_.formatTag = 3;
                info_.type = SampleType::Float;
            }
            break;
        }
        // Floats beyond full scale are clipped by the converter, not wrapped;
        // libsndfile's float reads are already normalised to [-1, 1].
        sf_command(f_, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        sf_command(f_, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
        // A file whose header promises more data than the file holds:
        // libsndfile says so in its log and plays what is there.
        char log[4096] = {};
        sf_command(f_, SFC_GET_LOG_INFO, log, sizeof log);
        if (std::strstr(log, "truncated") || std::strstr(log, "should be"))
            truncated_ = true;
    }
    ~FileDecoder() override
    {
        sf_close(f_);
        close(fd_);
    }

    size_t Read(void* out, size_t frames) override
    {
        if (done_)
            return 0;
        sf_count_t n = 0;
        switch (info_.type) {
        case SampleType::Int16: n = sf_readf_short(f_, static_cast<short*>(out), static_cast<sf_count_t>(frames)); break;
        case SampleType::Int32: n = sf_readf_int(f_, static_cast<int*>(out), static_cast<sf_count_t>(frames)); break;
        case SampleType::Float: n = sf_readf_float(f_, static_cast<float*>(out), static_cast<sf_count_t>(frames)); break;
        case SampleType::Double: n = sf_readf_double(f_, static_cast<double*>(out), static_cast<sf_count_t>(frames)); break;
        }
        if (n < 0)
            n = 0;
        read_ += n;
        if (n == 0) {
            done_ = true;
            if (sf_error(f_) != SF_ERR_NO_ERROR)
                error_ = "cannot decode '" + info_.origin + "': " + sf_strerror(f_);
            else if (truncated_ || (!info_.framesEstimated && info_.frames > 0 && read_ < info_.frames))
                info_.notes.push_back("'" + info_.origin + "' is truncated: its header promises more audio than it "
                                      "holds; played the " + std::to_string(read_) + " frames that are there");
        }
        return static_cast<size_t>(n);
    }

    bool Truncated() const { return truncated_; }

private:
    SNDFILE* f_;
    int fd_;
    bool done_ = false;
    bool truncated_ = false;
    int64_t read_ = 0;
};


// Reads the stream `in` to its end into an unnamed file, and returns that
// file's descriptor at its start; -1 with *error otherwise.  The waits are
// polls of at most 100 ms, so that a stop signal is seen whichever thread
// took it, and a FIFO with no writer yet is waited for rather than read as
// empty (a non-blocking read of one gives 0 until a writer comes).
int CopyStream(int in, const std::string& path, std::string* error, const InputWait& wait)
{
    int out = AnonymousFile();
    if (out < 0) {
        *error = "cannot read '" + path + "': no temporary file to hold it: " + std::strerror(errno);
        return -1;
    }
    std::vector<char> block(1 << 16);
    bool said = false;
    for (;;) {
        if (wait.stopped && wait.stopped()) {
            *error = "interrupted";
            break;
        }
        struct pollfd p = {in, POLLIN, 0};
        int ready = poll(&p, 1, 100);
        if (ready == 0 && !said && wait.waiting) {
            wait.waiting();
            said = true;
        }
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        ssize_t n = ready < 0 ? -1 : read(in, block.data(), block.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            *error = "cannot read '" + path + "': " + std::strerror(errno);
            break;
        }
        if (n == 0) {
            if (lseek(out, 0, SEEK_SET) == 0)
                return out;
            *error = "cannot read '" + path + "': " + std::strerror(errno);
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, block.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                *error = "cannot read '" + path + "': cannot hold it in a temporary file: " +
                         std::strerror(w < 0 ? errno : EIO);
                close(out);
                return -1;
            }
            done += w;
        }
    }
    close(out);
    return -1;
}

}  // namespace

std::unique_ptr<Decoder> OpenAudioFile(const std::string& path, std::string* error, const InputWait& wait)
{
    // One open, which does not wait: a FIFO with no writer yet is waited for
    // in CopyStream, where a stop signal ends the wait.
    // "-" is standard input, as audio players take it (its own flags are
    // left alone: the file description is the caller's too).
    int fd = path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                         : open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = "cannot open '" + path + "': " + std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? "cannot play '" + path + "': it is a directory, not an audio file"
                                     : "cannot open '" + path + "': " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    if (S_ISREG(st.st_mode)) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    } else {
        int copy = CopyStream(fd, path, error, wait);
        close(fd);
        if (copy < 0)
            return nullptr;
        fd = copy;
    }

    SF_INFO info{};
    SNDFILE* f = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!f) {
        *error = "cannot read '" + path + "' as audio: " + sf_strerror(nullptr);
        if (EndsWith(path, ".m4a") || EndsWith(path, ".aac") || EndsWith(path, ".mp4"))
            *error += " (AAC/M4A files are not read; convert them to FLAC or WAV first)";
        close(fd);
        return nullptr;
    }
    if (info.samplerate <= 0 || info.channels <= 0) {
        sf_close(f);
        close(fd);
        *error = "'" + path + "' has no usable rate or channel count";
        return nullptr;
    }
    return std::unique_ptr<Decoder>(new FileDecoder(f, fd, info, path));
}

}  // namespace player
