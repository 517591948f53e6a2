// The Bluetooth audio library's stand-in, seen from tests and tools.  It
// hands every accepted packet to its sinks on a thread of its own (the
// packet thread) and frees it there, can refuse posts, and raises link
// events from another thread of its own (the event thread).  It keeps no
// audio of its own: a test that wants the packets asks for a record, which
// holds at most the audio bytes it was given as its bound.
//
// Threads and locks.  The driver posts on its timer thread with its stream
// lock held (LMRPostData: returns promptly, never blocks on the driver,
// never calls back; on the real clock it waits for no thread at all).
// The event thread calls the driver's event callback with no lock of the
// stand-in held.  The functions below are the control side, for any other
// thread; each takes the stand-in's lock for its own length only.  Reset,
// Flush and WaitForEvents wait for the stand-in's threads:
// they must not be called from a sink or from the driver's event callback
// (which would wait for itself), nor with the driver's stream lock held
// (the event thread's callback takes it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "btlink/lmr.h"
#include "btstandin/codec.h"
#include "btstandin/sendpath.h"

namespace btstandin {

// One LMRRegCBK call: the driver's context word, its event callback and
// the handle it was given.
struct Registration {
    void* context;
    PFN_LMR_EVENT callback;
    HANDLE handle;
};

// A recorded post.
struct Packet {
    HANDLE handle;               // handle LMRPostData was given
    const void* address;         // the block's address as posted
    uint32_t length;             // length argument (N + BT_AUDIO_PACKET_OVERHEAD)
    uint32_t dataLen;            // dwDataLen read from the packet
    std::vector<uint8_t> audio;  // the N audio bytes (empty once the record's bound is reached)
    uint64_t counter;            // performance-counter value at the post
    bool refused;                // answered LMR_POST_REFUSED
};

// Back to the state at load: no registrations, no record, posts accepted, no
// sinks and no observer, event thread idle.
void Reset();

std::vector<Registration> Registrations();

// ---- Record (for tests) ------------------------------------------------------
// Records every post from now on, keeping the audio of packets until
// maxAudioBytes of audio are kept; the packets after that are recorded
// without their audio and RecordOverflowed() says so.  0 stops recording.
void KeepPackets(size_t maxAudioBytes);
// The bound tests use: far more than any test posts between two clears.
constexpr size_t kTestRecordBytes = 64u << 20;
bool RecordOverflowed();
std::vector<Packet> Packets();
void ClearPackets();
// All accepted audio bytes in the record, concatenated in arrival order.
std::vector<uint8_t> ReceivedAudio();

// Refuse the next `count` posts (LMR_POST_REFUSED): the fault table's
// RefusePost fault, armed with no skip.
void RefusePosts(unsigned count);

// ---- The link --------------------------------------------------------------------
// By default the stand-in is a perfect transport: every post is carried at
// once, whatever the link does (what the driver's own tests want).  A
// modelled link carries posts only while it is up, and sends them as a real
// library would (sendpath.h): encoded into media packets by a codec of the
// table (codec.h: SBC, or PCM for an ideal carrier), through a send queue of
// bounded depth that a radio with a budget in kbit/s empties, with a bitpool
// that adapts to the queue.  A post
// the library cannot take is refused (LMR_POST_REFUSED), so the driver frees
// it: with no link there is no connection to queue for, and a full queue has
// no room; either way the caller learns it at once and nothing is held.
struct LinkModel {
    bool modelled = false;
    SendPathConfig send;   // codec, bitpool range, MTU, radio, queue, interference
};
void ModelLink(const LinkModel& model);
// Interference from now on (its times on the host clock), for a world that
// learns its time 0 after the link was modelled.
void SetInterference(const Interference& interference);
// The stream's end: the library sends what its encoder holds (the last
// packet, its last frame padded with silence), as at the last post, when
// the posts stopped.  Modelled link only.
void EndStream();
// Sets the link's state and raises the matching event (link up or down).
void SetLink(bool up);
bool LinkIsUp();

// What the stand-in did with the posts since Reset.  Every post that was not
// taken is counted under exactly one reason.
struct PostStats {
    uint64_t posts = 0;
    uint64_t carried = 0, carriedBytes = 0;              // taken by the library (unmodelled: and delivered)
    uint64_t refusedLinkDown = 0, refusedLinkDownBytes = 0;
    uint64_t refusedQueueFull = 0, refusedQueueFullBytes = 0;
    // The encoder thread was kEncodeBacklog posts behind (real clock only).
    uint64_t refusedEncoderBehind = 0, refusedEncoderBehindBytes = 0;
    uint64_t refusedFault = 0, refusedFaultBytes = 0;    // RefusePost
    // LosePacket: taken, never arrived.  Unmodelled: posts and their audio
    // bytes; modelled: media packets, their codec frames and the audio bytes
    // they carried.
    uint64_t lost = 0, lostBytes = 0, lostFrames = 0;
    uint64_t slow = 0, slowMs = 0;                       // SlowPost: posts that took long, and how long in all
    SendStats send;                                      // the modelled link's media packets, radio and bitpool
    // The hand-off toward the sinks: the most packets accepted and not yet
    // freed, and the longest from a post to its packet's turn at the sinks
    // (wall time).
    uint64_t peakInFlight = 0;
    uint64_t maxLagNs = 0;
};
PostStats Stats();

// ---- Sinks -------------------------------------------------------------------
// One accepted packet as the sinks see it: its audio lies in the posted block
// itself, which is freed once every sink has returned.
struct PacketView {
    HANDLE handle;
    const uint8_t* audio;   // the N audio bytes
    uint32_t size;          // N
    uint64_t counter;       // performance-counter value at the post
    uint64_t postNs;        // clock time (host::ClockNowNs) of the post
    uint64_t arrivalNs;     // unmodelled: clock time at which it was delivered (the post's);
                            // modelled: the post's too (its media packets arrive later)
};
// Sinks run on the stand-in's own thread, one packet at a time in arrival
// order, with no lock of the stand-in or the driver held.  A sink must not
// wait for the driver's tick (on the virtual clock the tick may be waiting
// for room, below).
using PacketSink = std::function<void(const PacketView&)>;
void AddSink(PacketSink sink);
// Media packets as the modelled link's radio delivers them (lost ones too,
// marked), on the same thread and with the same rules as the sinks above,
// after the encoder (if any) has filled their payload.
using MediaSink = std::function<void(const MediaPacket&)>;
void AddMediaSink(MediaSink sink);
// The encoder that fills the media packets' payload, in packet order, on
// the stand-in's encoder thread, before the media sinks see them; null (the
// default) leaves them unencoded, sizes alone.  The post never waits for
// it: it hands each accepted post to that thread through a bounded
// hand-off, and a post that finds the encoder a few seconds behind (the
// hand-off full, which only the real clock allows) is refused, as the
// library refuses what it cannot take.  Set it with LinkModel.send.keepPcm,
// before the first post; posts keep their order whatever it is set to.
void SetEncoder(std::shared_ptr<PacketEncoder> encoder);
// Returns once every accepted packet has gone through the sinks and been freed.
void Flush();
// Packets accepted and not yet freed by the stand-in's thread.
size_t PacketsInFlight();
// On the virtual clock at most this many accepted packets wait for the
// sinks: a fast run's post beyond that waits for room, which costs no
// virtual time, so memory stays bounded.  On the real clock a post never
// waits: packets that the sinks have not taken yet wait in memory, and
// Stats() reports the most that waited and the longest lag.  96 packets of
// 20 ms are some 340 KB of audio: what is in flight stays in the cache, and
// a player that keeps the audio until the sinks have compared it keeps
// little more than that (its window of 512 KiB holds them with its decoding
// block and the application's buffers).
constexpr size_t kMaxPacketsInFlight = 96;
// Posts the encoder thread may be behind (SetEncoder) before a post is
// refused: some five seconds of 20 ms ticks.
constexpr size_t kEncodeBacklog = 256;
// Accepted packets are freed at once inside the post, on the poster's thread,
// and reach no sink: a library that drops what it is given (for measuring
// the tick alone).
void FreeOnPost(bool atOnce);

// ---- Post observer -----------------------------------------------------------
// What every post looked like, told synchronously inside LMRPostData: on the
// poster's thread (the driver's tick, with the driver's stream lock held),
// in posting order, with the stand-in's own lock held.  It must be quick and
// must call neither the driver nor the stand-in.
struct PostInfo {
    uint64_t counter;   // performance-counter value at the post
    uint32_t bytes;     // audio bytes carried
    bool refused;       // answered LMR_POST_REFUSED
    uint64_t clockNs;   // clock time of the post (host::ClockNowNs)
};
void SetPostObserver(std::function<void(const PostInfo&)> fn);

// ---- Link events -------------------------------------------------------------
// Raises a link event through the newest registration's callback, as the
// library would, from the stand-in's event thread.  WaitForEvents() returns
// once every raised event has been delivered, with the callback's answers.
void RaiseEvent(uint32_t code);
void WaitForEvents();
std::vector<uint32_t> EventAnswers();

}  // namespace btstandin
