// MessageBoxW: nothing is drawn and nobody presses a button, so the box is
// told on standard error and answered with its default button, as a user
// pressing Enter would.  Any thread, no lock.
#include <cstdio>

#include "host/host.h"
#include "host_internal.h"

namespace {

// The buttons of each MB_ type, in the order MB_DEFBUTTON* counts them.
struct Buttons {
    int ids[3];
    int count;
};
const Buttons kButtons[] = {
    {{IDOK, 0, 0}, 1},                    // MB_OK
    {{IDOK, IDCANCEL, 0}, 2},             // MB_OKCANCEL
    {{IDABORT, IDRETRY, IDIGNORE}, 3},    // MB_ABORTRETRYIGNORE
    {{IDYES, IDNO, IDCANCEL}, 3},         // MB_YESNOCANCEL
    {{IDYES, IDNO, 0}, 2},                // MB_YESNO
    {{IDRETRY, IDCANCEL, 0}, 2},          // MB_RETRYCANCEL
};

}  // namespace

extern "C" int MessageBoxW(HWND /*hWnd*/, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    const UINT type = uType & MB_TYPEMASK;
    if (type >= sizeof kButtons / sizeof kButtons[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const Buttons& b = kButtons[type];
    const int chosen = static_cast<int>((uType & MB_DEFMASK) >> 8);
    const int answer = b.ids[chosen < b.count ? chosen : 0];
    const std::string caption = lpCaption ? host::Narrow(lpCaption) : "Error";
    const std::string text = lpText ? host::Narrow(lpText) : "";
    std::fprintf(stderr, "MessageBox: %s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return answer;
}
