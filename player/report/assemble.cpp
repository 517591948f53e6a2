#include "report/assemble.h"

#include <sys/resource.h>

#include "btstandin/btstandin.h"
#include "host/clock.h"
#include "host/faults.h"

namespace player {

void AddSettings(const Options& o, Report* r)
{
    r->clock = o.fast ? "virtual" : "real";
    r->refill = o.refill == Refill::Callback ? "callback" : "event";
    r->loops = o.loops;
    r->timerThread = o.fast ? "" : host::TimerThreadScheduling();
}

void AddWorld(const Options& o, Report* r)
{
    r->world = true;
    r->link = btstandin::Stats();
    btstandin::SendPathConfig& c = r->send;
    c.codec = o.codec == Options::Codec::Sbc ? btstandin::Codec::Sbc : btstandin::Codec::Pcm;
    c.bitpool = btstandin::BitpoolRange{o.bitpoolMin, o.bitpoolMax, o.bitpoolFixed};
    c.sbc.bitpool = o.bitpoolMax;
    c.mtu = o.mtu;
    c.radioKbps = o.radioKbps;
    c.radioKbps = c.Kbps();   // the codec's default when none was given
    c.queuePackets = o.radioQueuePackets;
    if (o.interference.on) {
        r->interferenceAt = o.interference.startMs / 1000.0;
        c.interference = {0, o.interference.lengthMs * 1000000u, o.interference.share};
    }
    for (const FaultOption& f : o.faults) {
        host::Fault fault;
        host::FaultByName(f.name, &fault);
        const host::FaultInfo& info = host::Describe(fault);
        FaultLine line;
        line.text = f.text;
        line.what = info.what;
        line.unit = info.unit;
        line.amount = f.amount;
        line.skip = f.skip;
        line.count = f.count;
        line.fired = host::FaultsFired(fault);
        r->faults.push_back(line);
    }
}

void AddPeakMemory(Report* r)
{
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
        r->peakMemoryKb = static_cast<uint64_t>(usage.ru_maxrss);
}

}  // namespace player
