// Late ticks: each gets the cause that took most of its time, in the text,
// the JSON and the plot.
#include <gtest/gtest.h>

#include <string>

#include "host/host.h"
#include "report/plot.h"
#include "audio_files.h"
#include "report/report.h"

using namespace player;
namespace {

host::LateTick LateAt(uint64_t deadlineMs, uint64_t startMs, uint64_t endMs)
{
    host::LateTick t;
    t.deadlineNs = deadlineMs * 1000000;
    t.startNs = startMs * 1000000;
    t.endNs = endMs * 1000000;
    return t;
}

}  // namespace

// The probe saw a tick's stall when the time it was held up itself within
// the tick's late stretch, counted only where the timer thread did not run,
// leaves the tick no more than the threshold late; only the probes on the
// CPUs the tick ran on count.
TEST(LateTickTest, TheProbeSawOnlyWhatItsOwnHoldUpsExplain)
{
    host::TickAuditResult a;
    a.ran = true;
    a.settings.thresholdNs = 5000000;
    // Not scheduled for 5.5 ms; the probe, following the tick, was held up
    // from 1 ms after the deadline to its start: seen.
    host::LateTick stall = LateAt(1000, 1005, 1006);
    stall.startNs -= 500000;
    stall.ranNs = 50000;
    a.late.push_back(stall);
    a.probeLate.push_back({1001000000, 4500000});
    // 8 ms asleep on a lock the probe does not know; a 1.2 ms hold-up of the
    // probe in the stretch does not explain it.
    host::LateTick blocked = LateAt(2000, 2000, 2008);
    blocked.ranNs = 100000;
    a.late.push_back(blocked);
    a.probeLate.push_back({2002000000, 1200000});
    // 7 ms of the tick's own work: the probe, behind it on the same CPU at
    // the same priority, was held up all that time, yet the machine ran the
    // tick; its hold-up counts only for the 1 ms the tick did not run.
    host::LateTick work = LateAt(3000, 3000, 3007);
    work.ranNs = 6000000;
    a.late.push_back(work);
    a.probeLate.push_back({3001000000, 6000000});
    // Hold-ups of under 1 ms each, while the probe watched the tick every
    // 0.5 ms, add up: 10 of 0.45 ms in a tick 6 ms late.
    host::LateTick many = LateAt(4000, 4000, 4006);
    many.ranNs = 200000;
    a.late.push_back(many);
    for (uint64_t k = 0; k < 10; ++k)
        a.probeLate.push_back({4001000000 + k * 500000, 450000});
    // Not scheduled for 8 ms on CPU 1: the probe on CPU 0 was held up all
    // that time, the one on CPU 1 only 2 ms (twice, overlapping, counted
    // once): the machine held up the other CPU, not this tick's.
    host::LateTick elsewhere = LateAt(5000, 5008, 5008);
    elsewhere.startCpu = elsewhere.endCpu = 1;
    a.late.push_back(elsewhere);
    a.probeLate.push_back({5001000000, 7000000, 0});
    a.probeLate.push_back({5001000000, 2000000, 1});
    a.probeLate.push_back({5002000000, 1000000, 1});
    // The same on CPU 0: seen.
    host::LateTick there = elsewhere;
    there.deadlineNs += 1000000000;
    there.startNs += 1000000000;
    there.endNs += 1000000000;
    there.startCpu = there.endCpu = 0;
    a.late.push_back(there);
    a.probeLate.push_back({6001000000, 7000000, 0});
    a.lateTicks = a.late.size();

    LateTickReport r = ExplainLateTicks(a, 0);
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_FALSE(r.lines[4].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[4].probeHeldMs, 2.0);
    EXPECT_TRUE(r.lines[5].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[5].probeHeldMs, 7.0);
    EXPECT_TRUE(r.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[0].probeHeldMs, 4.5);
    EXPECT_FALSE(r.lines[1].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[1].probeHeldMs, 1.2);
    EXPECT_FALSE(r.lines[2].probeSaw);
    EXPECT_TRUE(r.lines[3].probeSaw);
    EXPECT_NEAR(r.lines[3].probeHeldMs, 4.5, 1e-9);
    EXPECT_EQ(r.unseenByProbe, 3u);
}

// On a virtual machine the hypervisor can take a CPU from under a running
// tick, and the guest counts that time as the timer thread's own: the tick
// looks like 27 ms of its own work, the thread on its CPU throughout.  The
// probes one priority above the timer thread preempt its work; only the
// machine can hold them up.  The record below is the shape such a soak
// recorded: a 27.4 ms tick whose thread "ran" 27.4 ms, on CPU 1.
TEST(LateTickTest, AMachineThatTakesTheCpuFromUnderATickIsBlamedNotTheTick)
{
    host::TickAuditResult a;
    a.ran = true;
    a.probesAbove = true;
    a.settings.thresholdNs = 5000000;
    // Taken from under the tick: the probe on its CPU was held up from its
    // follow-up point 1 ms after the deadline to 0.4 ms before the end (its
    // next fine step fell after the tick had ended); the other CPU's probe
    // was held up only briefly, and its hold-up does not count.
    host::LateTick stolen = LateAt(1000, 1000, 1027);
    stolen.endNs += 400000;
    stolen.ranNs = 27400000;
    stolen.startCpu = stolen.endCpu = 1;
    a.late.push_back(stolen);
    a.probeLate.push_back({1001000000, 26000000, 1, true});
    a.probeLate.push_back({1001000000, 1500000, 0, true});
    // 12 ms of real work on CPU 0: the probe above it ran on time (it was
    // never late), so the work is the tick's.
    host::LateTick work = LateAt(2000, 2000, 2012);
    work.ranNs = 12000000;
    work.startCpu = work.endCpu = 0;
    a.late.push_back(work);
    // A lock waited for, 20 ms, while the machine also took 3 ms of the run:
    // the lock is still the larger part, and the 3 ms do not explain the tick.
    host::LateTick lock = LateAt(3000, 3000, 3024);
    lock.parts.ns[static_cast<unsigned>(host::TickPart::Lock)] = 20000000;
    lock.ranNs = 1000000;
    lock.startCpu = lock.endCpu = 0;
    a.late.push_back(lock);
    a.probeLate.push_back({3001000000, 3000000, 0, true});
    // Not run for 9 ms: the probe at the timer thread's priority was held up
    // as long (other real-time work of the machine at that priority), the
    // one above it was not; the machine's all the same.
    host::LateTick queued = LateAt(4000, 4009, 4009);
    queued.endNs += 200000;
    queued.ranNs = 200000;
    queued.startCpu = queued.endCpu = 0;
    a.late.push_back(queued);
    a.probeLate.push_back({4001000000, 8000000, 0, false});
    a.lateTicks = a.late.size();

    LateTickReport r = ExplainLateTicks(a, 0);
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0].cause, "machine");
    EXPECT_TRUE(r.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[0].machineMs, 26.0);
    EXPECT_NEAR(r.lines[0].workMs, 1.4, 1e-9);
    EXPECT_DOUBLE_EQ(r.lines[0].ranMs, 27.4);
    EXPECT_EQ(r.lines[1].cause, "tick_work");
    EXPECT_FALSE(r.lines[1].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[1].machineMs, 0.0);
    EXPECT_EQ(r.lines[2].cause, "stream_lock");
    EXPECT_DOUBLE_EQ(r.lines[2].machineMs, 3.0);
    EXPECT_FALSE(r.lines[2].probeSaw);
    EXPECT_EQ(r.lines[3].cause, "not_scheduled");
    EXPECT_TRUE(r.lines[3].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[3].machineMs, 0.0);
    EXPECT_EQ(r.byCause["machine"], 1u);
    EXPECT_EQ(r.unseenByProbe, 2u);

    // With probes at the timer thread's own priority (real-time scheduling
    // refused them the step above), a hold-up while the thread ran cannot be
    // told from its work: the same record reads as the tick's work, unseen.
    a.probesAbove = false;
    LateTickReport same = ExplainLateTicks(a, 0);
    EXPECT_EQ(same.lines[0].cause, "tick_work");
    EXPECT_FALSE(same.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(same.lines[0].machineMs, 0.0);

    // The report says so in words and in the JSON, with the machine's steal.
    a.probesAbove = true;
    a.stealNs = {1000000, 37000000};
    a.stealSpanNs = 10000000000ull;
    Report rep;
    rep.lateTicks = ExplainLateTicks(a, 0);
    std::string text = FormatText(rep);
    EXPECT_NE(text.find("27.4 ms late: the machine (the CPU taken from under the tick); "), std::string::npos) << text;
    EXPECT_NE(text.find("work 1.4, machine 26.0 ms (the thread ran 27.4 ms of its tick)"), std::string::npos) << text;
    EXPECT_NE(text.find("steal           38 ms of 10.0 s on 2 CPUs (0.19 %; by CPU 1, 37 ms)"), std::string::npos)
        << text;
    const nlohmann::ordered_json json = player_test::ParseReport(FormatJson(rep));
    EXPECT_EQ(json["late_ticks"]["steal"], nlohmann::ordered_json::parse(R"({"span_ms": 10000, "ms_by_cpu": [1, 37]})"));
    EXPECT_EQ(json["late_ticks"]["ticks"][0]["parts_ms"]["tick_work"], 1.4);
    EXPECT_EQ(json["late_ticks"]["ticks"][0]["parts_ms"]["machine"], 26);
    EXPECT_EQ(json["late_ticks"]["probe"]["above_timer"], true);
}

TEST(LateTickTest, EachLateTickGetsTheCauseThatTookMostOfItsTime)
{
    host::TickAuditResult a;
    a.ran = true;
    a.settings.thresholdNs = 5000000;
    a.ticks = 1000;
    a.lateTicks = 4;
    const uint64_t origin = 1000 * 1000000ull;
    // Not scheduled for 9 ms, while the probe was late too.
    a.late.push_back(LateAt(2000, 2009, 2010));
    a.probeLate.push_back({2001000000, 8000000});
    // 30 ms waiting for the stream lock, held by the thread with id 7.
    host::LateTick lock = LateAt(3000, 3000, 3031);
    lock.parts.ns[static_cast<unsigned>(host::TickPart::Lock)] = 30000000;
    lock.parts.lockHolder = 7;
    a.late.push_back(lock);
    // The tick after it: late only because that one was still running.
    host::LateTick after = LateAt(3020, 3031, 3032);
    after.overrunNs = 11000000;
    after.previous = lock.parts;
    a.late.push_back(after);
    // 12 ms in the post, 1 ms in the callback.
    host::LateTick post = LateAt(4000, 4000, 4014);
    post.parts.ns[static_cast<unsigned>(host::TickPart::Post)] = 12000000;
    post.parts.ns[static_cast<unsigned>(host::TickPart::Callback)] = 1000000;
    a.late.push_back(post);

    LateTickReport r = ExplainLateTicks(a, origin);
    ASSERT_TRUE(r.audited);
    ASSERT_EQ(r.lines.size(), 4u);
    EXPECT_EQ(r.lines[0].cause, "not_scheduled");
    EXPECT_TRUE(r.lines[0].probeSaw);
    EXPECT_DOUBLE_EQ(r.lines[0].t, 1.0);
    EXPECT_DOUBLE_EQ(r.lines[0].lateMs, 10.0);
    EXPECT_EQ(r.lines[1].cause, "stream_lock");
    EXPECT_EQ(r.lines[1].lockHolder, "thread 7");
    EXPECT_FALSE(r.lines[1].probeSaw);
    EXPECT_EQ(r.lines[2].cause, "stream_lock");
    EXPECT_TRUE(r.lines[2].afterPrevious);
    EXPECT_DOUBLE_EQ(r.lines[2].previousMs, 11.0);
    EXPECT_EQ(r.lines[3].cause, "post");
    EXPECT_DOUBLE_EQ(r.lines[3].workMs, 1.0);
    EXPECT_EQ(r.byCause["stream_lock"], 2u);
    EXPECT_EQ(r.unseenByProbe, 3u);
    EXPECT_DOUBLE_EQ(r.maxLateMs, 31.0);

    // The report lists them, for people and for programs.
    Report rep;
    rep.lateTicks = r;
    std::string text = FormatText(rep);
    EXPECT_NE(text.find("late ticks      4 of 1000 ticks ended more than 5.0 ms after their deadline"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("waiting for the stream lock (held by thread 7)"), std::string::npos) << text;
    const nlohmann::ordered_json json = player_test::ParseReport(FormatJson(rep));
    EXPECT_EQ(json["late_ticks"]["by_cause"].dump(), R"({"not_scheduled":1,"post":1,"stream_lock":2})");
    EXPECT_EQ(json["late_ticks"]["unseen_by_probe"], 3);
    std::string svg = FormatSvg(rep);
    EXPECT_NE(svg.find("late tick at 2.000 s, 31.0 ms: waiting for the stream lock"), std::string::npos);
}
