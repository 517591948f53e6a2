#include "kit/recorder.h"

#include <sstream>

#include "kit/header_pool.h"

namespace kit {

void CALLBACK Recorder::Fn(HDRVR h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    auto* self = reinterpret_cast<Recorder*>(instance);
    self->calls.push_back({h, msg, instance, p1, p2, self->stream ? self->stream->bOpened : -1});
    if (self->onCall)
        self->onCall(self->calls.back());
}

std::vector<UINT> Recorder::Messages() const
{
    std::vector<UINT> m;
    for (const Call& c : calls)
        m.push_back(c.msg);
    return m;
}

size_t Recorder::Count(UINT msg) const
{
    size_t n = 0;
    for (const Call& c : calls)
        n += c.msg == msg;
    return n;
}

std::vector<const void*> Recorder::Done() const
{
    std::vector<const void*> d;
    for (const Call& c : calls)
        if (c.msg == MM_WOM_DONE)
            d.push_back(reinterpret_cast<const void*>(c.p1));
    return d;
}

std::vector<int> Recorder::DoneIndices(const HeaderPool& pool) const
{
    std::vector<int> d;
    for (const void* h : Done())
        d.push_back(pool.IndexOf(h));
    return d;
}

std::string Recorder::OnlyDoneFrom(HDRVR handle) const
{
    for (size_t i = 0; i < calls.size(); ++i) {
        const Call& c = calls[i];
        if (c.msg != MM_WOM_DONE || c.handle != handle || c.p2 != 0) {
            std::ostringstream s;
            s << "call " << i << ": message " << c.msg << " from handle " << static_cast<const void*>(c.handle)
              << " with dwParam2 " << c.p2 << ", not MM_WOM_DONE from " << static_cast<const void*>(handle)
              << " with 0";
            return s.str();
        }
    }
    return "";
}

}  // namespace kit
