#include "audio_files.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "kit/child.h"

namespace player_test {

// Longer than any run of the player's tests, even under the sanitizers.
const int kRunLimitSeconds = 300;

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/btwav-player-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    path_ = name.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::Entries() const
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Audio Noise(size_t frames, int rate, int channels, uint32_t seed)
{
    Audio a;
    a.rate = rate;
    a.channels = channels;
    std::mt19937 gen(seed);
    a.samples.resize(frames * channels);
    for (auto& s : a.samples)
        s = static_cast<int16_t>(static_cast<int32_t>(gen() & 0xFFFF) - 32768);
    return a;
}

Audio Sine(size_t frames, int rate, int channels, double hz, double amp)
{
    Audio a;
    a.rate = rate;
    a.channels = channels;
    a.samples.resize(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        double v = amp * 32767.0 * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate);
        for (int c = 0; c < channels; ++c)
            a.samples[i * channels + c] = static_cast<int16_t>(std::lround(v));
    }
    return a;
}

void WriteWav(const std::string& path, const Audio& a)
{
    SF_INFO info{};
    info.samplerate = a.rate;
    info.channels = a.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_count_t frames = static_cast<sf_count_t>(a.Frames());
    EXPECT_EQ(sf_writef_short(f, a.samples.data(), frames), frames);
    sf_close(f);
}

Audio ReadAudio(const std::string& path)
{
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return a;
    }
    a.rate = info.samplerate;
    a.channels = info.channels;
    std::vector<int16_t> block(4096 * static_cast<size_t>(info.channels));
    for (;;) {
        sf_count_t got = sf_readf_short(f, block.data(), 4096);
        if (got <= 0)
            break;
        a.samples.insert(a.samples.end(), block.begin(), block.begin() + got * info.channels);
    }
    sf_close(f);
    return a;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args)
{
    RunResult r;
    TempDir io;
    kit::Child child(program, args, io.File("out"), io.File("err"));
    if (!child.Started())
        return r;
    // A player that hangs is killed after the limit, so that the test fails
    // with a message instead of waiting out CTest's own limit.
    r.exitCode = child.Wait(std::chrono::seconds(kRunLimitSeconds));
    if (child.TimedOut())
        ADD_FAILURE() << program << " still running after " << kRunLimitSeconds << " s; killed";
    r.peakKb = child.PeakKb();
    r.out = ReadText(io.File("out"));
    r.err = ReadText(io.File("err"));
    return r;
}

void WriteSound(const std::string& path, int format, int rate, int channels, const std::vector<double>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        ADD_FAILURE() << "cannot write " << path << ": " << sf_strerror(nullptr);
        return;
    }
    sf_writef_double(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(f);
}

std::vector<double> ReadDoubles(const std::string& path, int* channels)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<double> out;
    if (!f) {
        ADD_FAILURE() << "cannot read " << path;
        return out;
    }
    *channels = info.channels;
    out.resize(static_cast<size_t>(info.frames) * info.channels);
    out.resize(static_cast<size_t>(sf_readf_double(f, out.data(), info.frames)) * info.channels);
    sf_close(f);
    return out;
}

RunResult RunPlayer(const std::vector<std::string>& args)
{
    return RunProgram(BTWAV_PLAYER_PATH, args);
}

void ExpectDumpLoadsBack(const std::string& dump)
{
    auto keys = [](const std::string& text) {
        const size_t at = text.find("\n[");
        return at == std::string::npos ? std::string() : text.substr(at);
    };
    ASSERT_NE(keys(dump), "") << dump;
    TempDir dir;
    {
        std::ofstream out(dir.File("dump.reg"), std::ios::binary);
        out << dump;
    }
    RunResult again = RunPlayer({"--registry-dump", "--reg", dir.File("dump.reg")});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(keys(again.out), keys(dump)) << again.err;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool HasHiddenFile(const TempDir& dir)
{
    for (const std::string& e : dir.Entries())
        if (!e.empty() && e[0] == '.')
            return true;
    return false;
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

nlohmann::ordered_json ParseReport(const std::string& json)
{
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(json, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "the report is not JSON:\n" << json;
    return j.is_discarded() ? nlohmann::ordered_json::object() : j;
}

std::string JsonAt(const std::string& json, const std::string& pointer)
{
    const nlohmann::ordered_json j = ParseReport(json);
    const nlohmann::ordered_json::json_pointer at(pointer);
    return j.contains(at) ? j.at(at).dump() : std::string();
}

ToneFit FitTone(const Audio& a, double hz, size_t skip)
{
    double ss = 0, cc = 0, sc = 0, xs = 0, xc = 0;
    for (size_t i = skip; i + skip < a.Frames(); ++i) {
        double w = 2 * M_PI * hz * i / 44100.0, x = a.samples[2 * i];
        ss += std::sin(w) * std::sin(w), cc += std::cos(w) * std::cos(w), sc += std::sin(w) * std::cos(w);
        xs += x * std::sin(w), xc += x * std::cos(w);
    }
    double det = ss * cc - sc * sc, s = (xs * cc - xc * sc) / det, c = (xc * ss - xs * sc) / det;
    double signal = 0, noise = 0;
    for (size_t i = skip; i + skip < a.Frames(); ++i) {
        double w = 2 * M_PI * hz * i / 44100.0, fit = s * std::sin(w) + c * std::cos(w);
        signal += fit * fit;
        noise += (a.samples[2 * i] - fit) * (a.samples[2 * i] - fit);
    }
    ToneFit f;
    f.amplitude = std::hypot(s, c);
    f.snrDb = 10 * std::log10(signal / noise);
    return f;
}

FifoReader::FifoReader(const std::string& path)
    : thread_([this, path] {
          int fd = open(path.c_str(), O_RDONLY);
          char buf[4096];
          ssize_t n;
          while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
              got_.append(buf, static_cast<size_t>(n));
          if (fd >= 0)
              close(fd);
      })
{
}

FifoWriter::FifoWriter(const std::string& path, const std::string& data)
    : thread_([path, data] {
          // A reader that closes early makes the write fail, not the test end.
          signal(SIGPIPE, SIG_IGN);
          int fd = open(path.c_str(), O_WRONLY);
          for (size_t done = 0; fd >= 0 && done < data.size();) {
              ssize_t n = write(fd, data.data() + done, data.size() - done);
              if (n <= 0)
                  break;
              done += static_cast<size_t>(n);
          }
          if (fd >= 0)
              close(fd);
      })
{
}

Background::Background(const TempDir& io, const std::vector<std::string>& args)
    : err_(io.File("stderr")), child_(BTWAV_PLAYER_PATH, args, io.File("stdout"), err_)
{
}

bool Background::WaitForError(const std::string& text)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
        if (ReadText(err_).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Background::Wait()
{
    int code = child_.Wait(std::chrono::seconds(kRunLimitSeconds));
    if (child_.TimedOut())
        ADD_FAILURE() << "the player still ran after " << kRunLimitSeconds << " s; killed";
    return code;
}

std::string FifoReader::Finish()
{
    thread_.join();
    return got_;
}

Played Play(const TempDir& dir, const std::string& input, const std::vector<std::string>& extra)
{
    Played p;
    std::vector<std::string> args = {"--fast", "--quiet", "--wav", dir.File("out.wav"), "--report",
                                     dir.File("report.json")};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!input.empty())
        args.push_back(input);
    p.run = RunPlayer(args);
    EXPECT_EQ(p.run.exitCode, 0) << p.run.err << p.run.out;
    p.wav = ReadAudio(dir.File("out.wav"));
    p.json = ReadText(dir.File("report.json"));
    return p;
}

World Live(const TempDir& dir, std::vector<std::string> extra, const std::string& input)
{
    World w;
    std::vector<std::string> args = {"--fast", "--quiet", "--report", dir.File("r.json")};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!input.empty())
        args.push_back(input);
    w.run = RunPlayer(args);
    w.json = ReadText(dir.File("r.json"));
    return w;
}

VectorDecoder::VectorDecoder(uint32_t rate, uint32_t channels, std::vector<int16_t> samples)
    : samples_(std::move(samples))
{
    info_.origin = "memory";
    info_.rate = rate;
    info_.channels = channels;
    info_.frames = static_cast<int64_t>(samples_.size() / channels);
}

size_t VectorDecoder::Read(void* out, size_t frames)
{
    size_t n = std::min(frames, (samples_.size() - at_) / info_.channels);
    if (n == 0)
        return 0;   // an empty vector's data() may be null
    std::memcpy(out, samples_.data() + at_, n * info_.channels * 2);
    at_ += n * info_.channels;
    return n;
}

}  // namespace player_test
