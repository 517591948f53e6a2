// The world's settings: the link's script, the codec and radio, the headset
// and the listener, as one struct and one option table.  The player's command
// line takes them among its own options; an application of one's own gets
// them from CEHOST_WORLD in the same syntax (ParseWorldOptions).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btstandin/codec.h"
#include "btstandin/radio.h"
#include "btstandin/sendpath.h"
#include "driver/config.h"

namespace player {

// The ALSA device --play-out plays on when it names none.
constexpr const char* kDefaultPlayDevice = "default";

// Something that happens at a time measured from the first waveOutWrite.
// The link's kinds are the world's; Pause and Reset are the player's own
// (an application of one's own does those itself).
struct TimedAction {
    enum Kind { LinkDown, LinkBack, Pause, Reset, LinkUp } kind;
    uint64_t atMs;         // playback time at which it happens
    uint64_t durationMs;   // Pause only: how long the stream stays paused
};

struct WorldOptions {
    uint64_t linkDelayMs = 100;           // link comes up this long after boot
    bool linkAtBoot = true;               // false: --link-up or --link-delay never
    // The library's codec, the radio and the headset.
    using Codec = btstandin::Codec;       // the codec table's ids (btstandin/codec.h)
    Codec codec = btstandin::kDefaultCodec;   // what the library sends
    // The link's defaults are the stand-in's own (btstandin/sendpath.h).
    uint32_t bitpoolMin = btstandin::BitpoolRange().min;   // the bitpool's range; it starts at the top
    uint32_t bitpoolMax = btstandin::BitpoolRange().max;
    bool bitpoolFixed = false;            // --bitpool N: it stays at N
    uint32_t mtu = btstandin::kDefaultMtu;   // bytes a media packet may take
    uint32_t radioKbps = 0;               // the radio's budget; 0: the codec's default
    uint32_t radioQueuePackets = btstandin::kDefaultQueuePackets;   // the send queue's depth in media packets
    uint32_t aclTypes = btstandin::kAclEdr2;   // baseband packet types allowed (btstandin::AclType bits)
    uint32_t flushMs = 0;                 // flush timeout; 0: none (the peers' default, infinite)
    struct {
        bool on = false;
        uint64_t startMs = 0, lengthMs = 0;   // since the first write
        double share = 0;                     // of the budget lost, 0 .. 1
    } interference;
    uint32_t headsetBufferFrames = BTWAV_DEVICE_RATE / 4;   // 250 ms
    uint32_t headsetStartFrames = BTWAV_DEVICE_RATE / 10;   // 100 ms
    double headsetPpm = 0;
    double headsetCatchUpPpm = 0;         // the headset plays this much faster while above its target (0: off)
    bool headset = true;                  // false: no headset model (to measure what it costs)
    std::string heardOut;                 // what the listener hears (WAV)
    bool playOut = false;                 // play what the listener hears on the sound system
    std::string playDevice;               // the ALSA device (kDefaultPlayDevice without a name)
    std::vector<TimedAction> actions;     // sorted by time once parsed
    uint32_t allow = 0;                   // the listener's faults that leave the exit status alone (AllowBits)
};

// One option being parsed: its name as given, its value when given inline
// (--name=value), the rest of the command line, and where errors go.  `o`
// is the settings being filled: the player's own options (which hold the
// world's) when the player parses, the world's alone for CEHOST_WORLD.
struct Arg {
    std::string name;
    std::string value;
    bool hasInlineValue = false;
    int argc = 0;
    char** argv = nullptr;
    int* i = nullptr;   // the argument being parsed; a value taken from the next one moves it on
    WorldOptions* o = nullptr;
    std::string* error = nullptr;

    bool Fail(const std::string& message);
    // The value, inline or the next argument.
    bool Take(std::string* v);
    // A flag: no inline value.
    bool None();
    bool Time(uint64_t* ms);
    // A whole number from 1 to `max` into *field.
    template <typename T>
    bool Count(uint64_t max, const std::string& what, T* field)
    {
        uint64_t n = 0;
        if (!WholeNumber(max, what, &n))
            return false;
        *field = static_cast<T>(n);
        return true;
    }
    bool WholeNumber(uint64_t max, const std::string& what, uint64_t* n);
    bool File(std::string* path);
    bool Files(std::vector<std::string>* paths);
    bool Flag(bool* flag, bool set);
    bool Action(TimedAction::Kind kind);
    bool HeadsetTime(uint32_t* frames);
};

// One option: the heading it opens (or a note before it), its names, its
// argument as the usage shows it, its help, its default as the usage shows
// it, and its parser.  In the help, "{}" stands for the default.
struct OptionEntry {
    const char* before;   // a heading or note printed before it, or nullptr
    const char* names;    // "--name", or "-h, --help"
    const char* arg;      // "" without a value; "[=X]" joins the name
    const char* help;
    std::string (*shown)(const WorldOptions& defaults);   // the default; nullptr when the help has no "{}"
    bool (*parse)(Arg& a);
};

// The world's options in the usage's order: the link's group and the
// listener's group (the player prints other groups between them).
const std::vector<OptionEntry>& WorldLinkOptions();
const std::vector<OptionEntry>& WorldListenerOptions();
// Whether `name` is one of the entry's names ("-h, --help").
bool EntryHasName(const OptionEntry& entry, const std::string& name);

// The link's configuration the options give the stand-in (sendpath.h).
btstandin::SendPathConfig LinkConfig(const WorldOptions& o);

// Checks of the world's settings as a whole, once parsed (actions sorted):
// an MTU that holds a frame, a headset start within its buffer, heard audio
// only with a headset, and a link script in a possible order.
bool CheckMtu(const WorldOptions& o, std::string* error);
bool CheckHeadset(const WorldOptions& o, std::string* error);
bool CheckLinkActions(const WorldOptions& o, std::string* error);
void SortActions(WorldOptions* o);

// The world's options from one string in the command line's syntax
// ("--headset-buffer 150ms --link-down 2s"), words split at blanks, with
// '...' or "..." around a word that holds blanks.  Every option must be a
// world option; false with one line in *error otherwise.
bool ParseWorldOptions(const std::string& text, WorldOptions* out, std::string* error);

// "250", "250ms", "1.5s" -> milliseconds.  False when it is not a time.
bool ParseMilliseconds(const std::string& text, uint64_t* ms);
// "250ms", "3s", "1.5s": a time as the options take it, for defaults.
std::string ShowMilliseconds(uint64_t ms);
// A whole number from 0 to `max`, unsigned and whole (strtoull's bases).
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);

// The link's options' parsers (linkoptions.cpp).
bool ParseCodec(Arg& a);
bool ParseBitpool(Arg& a);
bool ParseAclTypes(Arg& a);
bool ParseFlushTimeout(Arg& a);
bool ParseInterference(Arg& a);

}  // namespace player
