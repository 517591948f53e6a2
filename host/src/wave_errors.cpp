// The error texts of the wave API.  Any thread, no lock.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wavetable.h"

namespace host {
namespace {

struct ErrorText {
    MMRESULT code;
    const char* text;
};
const ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "The command completed without an error."},
    {MMSYSERR_ERROR, "An unspecified error occurred."},
    {MMSYSERR_BADDEVICEID, "The device id is out of range."},
    {MMSYSERR_NOTENABLED, "The driver could not be enabled."},
    {MMSYSERR_ALLOCATED, "The device is already in use by another application."},
    {MMSYSERR_INVALHANDLE, "The handle is not a valid device handle."},
    {MMSYSERR_NODRIVER, "There is no driver for the device."},
    {MMSYSERR_NOMEM, "There is not enough memory for the command."},
    {MMSYSERR_NOTSUPPORTED, "The device does not support this function."},
    {MMSYSERR_BADERRNUM, "The error number is not defined."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed."},
    {MMSYSERR_HANDLEBUSY, "The handle is being used by another thread."},
    {MMSYSERR_INVALIDALIAS, "The specified alias was not found."},
    {MMSYSERR_BADDB, "The registry database is corrupt."},
    {MMSYSERR_KEYNOTFOUND, "The registry key was not found."},
    {MMSYSERR_READERROR, "The registry could not be read."},
    {MMSYSERR_WRITEERROR, "The registry could not be written."},
    {MMSYSERR_DELETEERROR, "The registry value could not be deleted."},
    {MMSYSERR_VALNOTFOUND, "The registry value was not found."},
    {MMSYSERR_NODRIVERCB, "The driver did not call back."},
    {WAVERR_BADFORMAT, "The wave format is not supported by the device."},
    {WAVERR_STILLPLAYING, "The device is still playing buffers."},
    {WAVERR_UNPREPARED, "The wave header was not prepared."},
    {WAVERR_SYNC, "The device is synchronous and cannot be opened without WAVE_ALLOWSYNC."},
};


}  // namespace

// The text for a code, or null for a code that has none.
const char* ErrorTextOf(MMRESULT code)
{
    for (const ErrorText& e : kErrorTexts)
        if (e.code == code)
            return e.text;
    return nullptr;
}

}  // namespace host

extern "C" {

// The platform is Unicode: the text is 16-bit.
static MMRESULT ErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    if (pszText == nullptr)
        return MMSYSERR_INVALPARAM;
    if (cchText == 0)
        return MMSYSERR_NOERROR;
    const char* text = host::ErrorTextOf(mmrError);
    const char* shown = text ? text : "";
    size_t n = std::min<size_t>(std::strlen(shown), cchText - 1);
    for (size_t i = 0; i < n; ++i)
        pszText[i] = static_cast<WCHAR>(static_cast<unsigned char>(shown[i]));
    pszText[n] = 0;
    return text ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM;
}

MMRESULT WINAPI waveOutGetErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    if (MMRESULT busy = host::CallFromCallback(__func__))
        return busy;
    return ErrorText(mmrError, pszText, cchText);
}

MMRESULT WINAPI waveInGetErrorText(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    return ErrorText(mmrError, pszText, cchText);
}

}  // extern "C"
