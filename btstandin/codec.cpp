// The codec table: one line of BTSTANDIN_CODECS each (codec.h).
#include "btstandin/codec.h"

#include <cstring>

namespace btstandin {
namespace {

const CodecInfo kCodecs[] = {
#define BTSTANDIN_CODEC_ROW(id, name, adaptive, kbps) {Codec::id, name, adaptive, kbps, &k##id##Parts},
    BTSTANDIN_CODECS(BTSTANDIN_CODEC_ROW)
#undef BTSTANDIN_CODEC_ROW
};
const size_t kCodecCount = sizeof kCodecs / sizeof kCodecs[0];

}  // namespace

const CodecInfo* Codecs(size_t* count)
{
    *count = kCodecCount;
    return kCodecs;
}

const CodecInfo& CodecOf(Codec id)
{
    // The enum's values are the table's lines, in order.
    return kCodecs[static_cast<size_t>(id)];
}

const CodecInfo* CodecNamed(const std::string& name)
{
    for (const CodecInfo& c : kCodecs)
        if (name == c.name)
            return &c;
    return nullptr;
}

const CodecInfo* CodecOfStreamOption(const std::string& option)
{
    for (const CodecInfo& c : kCodecs)
        if (c.parts->streamOption && option == c.parts->streamOption)
            return &c;
    return nullptr;
}

std::string CodecNames(const char* separator)
{
    std::string out;
    for (const CodecInfo& c : kCodecs)
        out += (out.empty() ? "" : separator) + std::string(c.name);
    return out;
}

}  // namespace btstandin
