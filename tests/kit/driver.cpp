#include "kit/driver.h"

#include <sys/mman.h>

#include "btstandin/btstandin.h"
#include "host/host.h"

namespace kit {

std::unique_ptr<host::DriverModule> LoadDriver(const std::string& path, std::string* error)
{
    return host::DriverModule::Load(path, "WAV", error);
}

void FreshHost()
{
    host::ResetAll();
    btstandin::Reset();
    btstandin::KeepPackets(btstandin::kTestRecordBytes);
}

void ClearHost()
{
    btstandin::Reset();
    host::ResetAll();
}

void* UnmappedPage()
{
    static void* const page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
}

void* Address(Mem m, void* good)
{
    switch (m) {
    case Mem::Null: return nullptr;
    case Mem::Unmapped: return UnmappedPage();
    default: return good;
    }
}

const char* Name(Mem m)
{
    return m == Mem::Good ? "good" : m == Mem::Null ? "null" : "unmapped";
}

MessageAnswer SendMessage(const host::DriverEntryPoints& entry, DWORD_PTR hOpen, UINT uMsg, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2, Mem record, Mem result)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = uMsg;
    params.dwParam1 = dwParam1;
    params.dwParam2 = dwParam2;
    // A word the driver never answers, so that an unwritten result shows.
    const DWORD kUnwritten = 0xA5A5A5A5u;
    DWORD word = kUnwritten;
    MessageAnswer a;
    a.returned = entry.IOControl(hOpen, IOCTL_WAV_MESSAGE, static_cast<LPBYTE>(Address(record, &params)),
                                 sizeof params, static_cast<LPBYTE>(Address(result, &word)), sizeof word, nullptr);
    a.wroteResult = word != kUnwritten;
    a.result = word;
    return a;
}

WAVEFORMATEX MakeFormat(WORD channels, DWORD rate, WORD bits, WORD tag)
{
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    f.wBitsPerSample = bits;
    return f;
}

OpenedDevice::OpenedDevice(const host::DriverModule& driver) : driver_(driver)
{
    hDevice_ = driver_.Entry().Init(nullptr, nullptr);
    if (hDevice_ != 0)
        hOpen_ = driver_.Entry().Open(hDevice_, 0, 0);
}

OpenedDevice::~OpenedDevice()
{
    if (hOpen_ != 0)
        driver_.Entry().Close(hOpen_);
    if (hDevice_ != 0)
        driver_.Entry().Deinit(hDevice_);
}

}  // namespace kit
