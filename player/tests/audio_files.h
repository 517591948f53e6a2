// Test inputs made at test time with libsndfile, outputs read back, and the
// player binary run as a child process.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "input/audio.h"
#include "kit/child.h"
#include <nlohmann/json.hpp>

namespace player_test {

// A directory under $TMPDIR, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

struct Audio {
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> samples;   // interleaved
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// Uniform white noise, the same for the same seed.
Audio Noise(size_t frames, int rate, int channels, uint32_t seed);
// A sine of `hz` at amplitude `amp` (of full scale) on every channel.
Audio Sine(size_t frames, int rate, int channels, double hz, double amp);

// Writes 16-bit PCM WAV; fails the current test on error.
void WriteWav(const std::string& path, const Audio& a);
// A sine of the given frequency fitted by least squares to the left side of
// 44.1 kHz stereo audio, leaving out `skip` frames at each edge (a
// converter's settling): its amplitude, and the signal-to-noise ratio in dB
// of the fit against what is left over.
struct ToneFit {
    double amplitude = 0;
    double snrDb = 0;
};
ToneFit FitTone(const Audio& a, double hz, size_t skip);

// Reads any file libsndfile knows as 16-bit samples; fails the test on error.
Audio ReadAudio(const std::string& path);

// Writes interleaved samples in [-1, 1] in any libsndfile format
// (SF_FORMAT_WAV | SF_FORMAT_FLOAT, ...); fails the test on error.
void WriteSound(const std::string& path, int format, int rate, int channels, const std::vector<double>& samples);
// Reads any file as samples in [-1, 1] (libsndfile's own decode).
std::vector<double> ReadDoubles(const std::string& path, int* channels);

struct RunResult {
    int exitCode = -1;
    long peakKb = 0;   // the child's peak resident memory
    std::string out;   // standard output
    std::string err;   // standard error
};
// Runs the player with these arguments (no shell involved).
RunResult RunPlayer(const std::vector<std::string>& args);
// Runs any program; exitCode -1 when it could not be started.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args);

// Checks that a --registry-dump's text loads back to the same registry: the
// player, given it as its only --reg file, dumps the same keys and values
// (the header, which names what shaped the registry, aside).
void ExpectDumpLoadsBack(const std::string& dump);

std::string ReadText(const std::string& path);
// How many times `what` occurs in `text`, overlaps included.
size_t Count(const std::string& text, const std::string& what);
// Whether the directory holds an entry whose name begins with a dot (a
// staged output left behind).
bool HasHiddenFile(const TempDir& dir);

// Plays `input` (none: the built-in sound) with `extra` options in fast mode,
// writing the WAV and the JSON report, and reads both back; expects exit 0.
struct Played {
    RunResult run;
    Audio wav;
    std::string json;
};
Played Play(const TempDir& dir, const std::string& input, const std::vector<std::string>& extra = {});
// A run in fast mode with its JSON report (dir/r.json), the options `extra`
// and `input` (the built-in sound when empty).
struct World {
    RunResult run;
    std::string json;
};
World Live(const TempDir& dir, std::vector<std::string> extra, const std::string& input = "");
void WriteText(const std::string& path, const std::string& text);

// The byte at offset `i` of the tests' synthetic sound: it repeats only after
// long stretches, so a byte out of place shows.
inline uint8_t SoundByte(uint64_t i)
{
    return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

// Reads a FIFO to its end on a thread of its own; Finish joins it.  A test
// that uses one holds a watchdog (kit/watchdog.h): a writer that never opens
// the FIFO leaves the reader blocked in open.
class FifoReader {
public:
    explicit FifoReader(const std::string& path);
    std::string Finish();

private:
    std::string got_;
    std::thread thread_;
};

// The player started in the background, its output and errors in files.
class Background {
public:
    Background(const TempDir& io, const std::vector<std::string>& args);
    // Waits (at most a minute) until standard error holds `text`.
    bool WaitForError(const std::string& text);
    // Sends the signal and waits for the end; returns the exit code.
    int Stop(int signal) { return child_.Stop(signal); }
    // Sends the signal only; Wait waits (at most five minutes).
    void Signal(int signal) { child_.Signal(signal); }
    int Wait();
    std::string Errors() const { return ReadText(err_); }

private:
    std::string err_;
    kit::Child child_;
};

// Writes `data` into a FIFO on a thread of its own; Finish joins it.  A test
// that uses one holds a watchdog: a reader that never opens the FIFO leaves
// the writer blocked in open.
class FifoWriter {
public:
    FifoWriter(const std::string& path, const std::string& data);
    void Finish() { thread_.join(); }

private:
    std::thread thread_;
};

// The value after "key": in flat JSON text ("true", "123", "\"text\"").
// The report `json` parsed; an empty object, and a failed test, when it is
// not JSON.
nlohmann::ordered_json ParseReport(const std::string& json);
// The value at `pointer` (such as "/ticks/count") in the report `json`,
// written compactly: a string with its quotes, "true", "120"; "" when the
// report has none there.
std::string JsonAt(const std::string& json, const std::string& pointer);

// 16-bit frames from memory, as a decoder hands them over; its origin is
// "memory".
class VectorDecoder : public player::Decoder {
public:
    VectorDecoder(uint32_t rate, uint32_t channels, std::vector<int16_t> samples);
    size_t Read(void* out, size_t frames) override;

private:
    std::vector<int16_t> samples_;
    size_t at_ = 0;
};

}  // namespace player_test
