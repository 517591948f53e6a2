/* device_calls: a device application's sound back end as such code is
 * written for the platform, under "#if defined _WIN32", against each SDK as
 * C89, C99 and C++.  Each call is used as the platform's reference pages
 * describe it:
 * - the compiler's and the CE build's macros ("Predefined Macros",
 *   Windows CE 5.0: _WIN32 always; _WIN32_WCE the version, 0x500);
 * - CreateFile / WriteFile / SetFilePointer / GetFileSize / ReadFile /
 *   CloseHandle / DeleteFile / FindFirstFile / FindNextFile ("CreateFile":
 *   CREATE_ALWAYS over an existing file sets ERROR_ALREADY_EXISTS;
 *   "ReadFile": TRUE with 0 bytes at the end of the file; "FindNextFile":
 *   ERROR_NO_MORE_FILES after the last), writing three WAV files and
 *   patching their RIFF sizes as a recorder does;
 * - GlobalAlloc(GMEM_MOVEABLE) and GlobalLock ("GlobalAlloc": the handle of
 *   moveable memory is turned into a pointer by GlobalLock; winbase.h: on
 *   the platform LocalLock(X) is ((LPVOID)(X))), GlobalSize, GlobalReAlloc,
 *   GlobalHandle;
 * - VirtualAlloc(MEM_RESERVE | MEM_COMMIT) / VirtualFree(MEM_RELEASE, size 0);
 * - RegEnumKeyEx over HKEY_LOCAL_MACHINE\Drivers\Active ("RegEnumKeyEx":
 *   ERROR_NO_MORE_ITEMS past the last subkey; the count in characters
 *   without the terminator), finding the active driver whose Name is WAV1:;
 * - PlaySound ("PlaySound": SND_SYNC returns after the sound; SND_ASYNC
 *   returns at once; SND_LOOP with SND_ASYNC repeats until stopped;
 *   SND_NOSTOP answers FALSE while a sound plays; SND_PURGE and a NULL
 *   sound stop it; SND_MEMORY plays an image in memory; SND_ALIAS a
 *   registry sound) and sndPlaySound;
 * - MessageBox ("MessageBox": the answer is the button chosen) and
 *   GetCurrentProcess (kfuncs.h).
 *
 * The headset should then have received, in order: tone.wav's samples
 * (SND_SYNC from its file), chime.wav's (SND_MEMORY), alias.wav's
 * (SND_ALIAS), tone.wav's repeated (SND_ASYNC | SND_LOOP until SND_PURGE),
 * part or none of alias.wav's (SND_ASYNC, stopped by the next sound) and
 * tone.wav's once more (sndPlaySound, SND_SYNC); the test script checks it.
 * Each check that fails prints "FAIL: what"; exit status 0 when all passed.
 *   device_calls       (files under $CEHOST_ROOT, which holds a Sounds folder)
 */
#include <windows.h>
#include <mmsystem.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* The records' layouts: the platform's on the 32-bit SDKs (winbase.h:
 * WIN32_FIND_DATAW with dwOID and a MAX_PATH name, OVERLAPPED of five
 * 32-bit members), Win64's OVERLAPPED on the 64-bit one. */
typedef char FILETIME_IS_8[sizeof(FILETIME) == 8 ? 1 : -1];
typedef char FIND_DATA_IS_560[sizeof(WIN32_FIND_DATAW) == 560 ? 1 : -1];
typedef char FIND_NAME_AT_40[offsetof(WIN32_FIND_DATAW, cFileName) == 40 ? 1 : -1];
typedef char OVERLAPPED_SIZE[sizeof(OVERLAPPED) == (sizeof(void *) == 4 ? 20 : 32) ? 1 : -1];

static int g_failures = 0;

static void Check(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++g_failures;
    }
}

int RunBackEnd(void);

#if defined _WIN32 && defined UNDER_CE

#if _WIN32_WCE != 0x500
#error "_WIN32_WCE is not the platform's version"
#endif
#if defined __arm__ && !(defined ARM && defined _ARM_)
#error "the ARM build's own macros are missing"
#endif

#define RATE 44100
#define FRAME_BYTES 4 /* stereo 16-bit: the device's own format */
#define HEADER_BYTES 44

/* A sound of `frames` frames whose samples start at `first` and step by
 * `step`, so that each sound's bytes differ from the others' from the first. */
static void Samples(BYTE *out, DWORD frames, int first, int step)
{
    DWORD i;
    for (i = 0; i < frames * 2; ++i) {
        int v = first + (int)(i / 2) * step;
        out[2 * i] = (BYTE)(v & 0xff);
        out[2 * i + 1] = (BYTE)((v >> 8) & 0xff);
    }
}

static void Le32(BYTE *p, DWORD v)
{
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
    p[2] = (BYTE)(v >> 16);
    p[3] = (BYTE)(v >> 24);
}

/* Writes a WAV file as a recorder does: a header with its sizes left 0, the
 * samples, then the two sizes patched in with SetFilePointer. */
static void WriteWav(const WCHAR *path, DWORD frames, int first, int step)
{
    static const BYTE header[HEADER_BYTES] = {
        'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
        1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    DWORD bytes = frames * FRAME_BYTES, written = 0;
    BYTE size[4];
    BYTE *samples = (BYTE *)VirtualAlloc(NULL, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    HANDLE file = CreateFile(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    Check(samples != NULL, "VirtualAlloc");
    Check(file != INVALID_HANDLE_VALUE, "CreateFile to write");
    if (samples == NULL || file == INVALID_HANDLE_VALUE)
        return;
    Samples(samples, frames, first, step);
    Check(WriteFile(file, header, HEADER_BYTES, &written, NULL) && written == HEADER_BYTES, "WriteFile header");
    Check(WriteFile(file, samples, bytes, &written, NULL) && written == bytes, "WriteFile samples");
    Le32(size, HEADER_BYTES - 8 + bytes);
    Check(SetFilePointer(file, 4, NULL, FILE_BEGIN) == 4, "SetFilePointer to the RIFF size");
    Check(WriteFile(file, size, 4, &written, NULL) && written == 4, "WriteFile RIFF size");
    Le32(size, bytes);
    Check(SetFilePointer(file, -4 - (LONG)bytes, NULL, FILE_END) == HEADER_BYTES - 4, "SetFilePointer from the end");
    Check(WriteFile(file, size, 4, &written, NULL) && written == 4, "WriteFile data size");
    Check(GetFileSize(file, NULL) == HEADER_BYTES + bytes, "GetFileSize after writing");
    Check(CloseHandle(file), "CloseHandle of a file");
    Check(VirtualFree(samples, 0, MEM_RELEASE), "VirtualFree");
}

/* Reads a whole file into moveable global memory, as a player loads a sound. */
static HGLOBAL LoadSound(const WCHAR *path)
{
    HANDLE file = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD high = 1, size, got = 0;
    HGLOBAL memory;
    BYTE *p;
    if (file == INVALID_HANDLE_VALUE) {
        Check(0, "CreateFile to read");
        return NULL;
    }
    size = GetFileSize(file, &high);
    Check(size != INVALID_FILE_SIZE && high == 0, "GetFileSize");
    memory = GlobalAlloc(GMEM_MOVEABLE, size / 2);
    /* Grown to its size with GlobalReAlloc, which may move moveable memory. */
    memory = GlobalReAlloc(memory, size, GMEM_MOVEABLE);
    Check(memory != NULL && GlobalSize(memory) == size, "GlobalReAlloc and GlobalSize");
    p = (BYTE *)GlobalLock(memory);
    Check(p != NULL && GlobalHandle(p) == memory, "GlobalLock and GlobalHandle");
    Check(ReadFile(file, p, size, &got, NULL) && got == size, "ReadFile of the whole file");
    Check(ReadFile(file, p, 1, &got, NULL) && got == 0, "ReadFile at the end answers TRUE with 0 bytes");
    Check(memcmp(p, "RIFF", 4) == 0, "the file read back starts with RIFF");
    GlobalUnlock(memory);
    CloseHandle(file);
    return memory;
}

static void Files(void)
{
    WIN32_FIND_DATA found;
    HANDLE search, file;
    int count = 0, sawTone = 0;
    WriteWav(L"\\Sounds\\tone.wav", 8820, 100, 3);  /* 200 ms */
    WriteWav(L"\\SOUNDS\\chime.wav", 4410, -900, 5); /* 100 ms; the folder's name in another case */
    WriteWav(L"\\Sounds\\alias.wav", 4410, 2000, -7);
    file = CreateFile(L"\\Sounds\\scratch.wav", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    Check(file != INVALID_HANDLE_VALUE, "CreateFile of a scratch file");
    CloseHandle(file);
    file = CreateFile(L"\\Sounds\\scratch.wav", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    Check(file != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS,
          "CREATE_ALWAYS over an existing file sets ERROR_ALREADY_EXISTS");
    CloseHandle(file);
    Check(DeleteFile(L"\\Sounds\\scratch.wav"), "DeleteFile");
    Check(!DeleteFile(L"\\Sounds\\scratch.wav") && GetLastError() == ERROR_FILE_NOT_FOUND,
          "DeleteFile of a missing file: ERROR_FILE_NOT_FOUND");
    search = FindFirstFile(L"\\Sounds\\*.WAV", &found);
    Check(search != INVALID_HANDLE_VALUE, "FindFirstFile");
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        ++count;
        Check(!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY), "FindFirstFile finds files");
        if (wcscmp(found.cFileName, L"tone.wav") == 0)
            sawTone = found.nFileSizeLow == HEADER_BYTES + 8820 * FRAME_BYTES;
    } while (FindNextFile(search, &found));
    Check(GetLastError() == ERROR_NO_MORE_FILES, "FindNextFile ends with ERROR_NO_MORE_FILES");
    Check(count == 3 && sawTone, "the search finds the three sounds, tone.wav with its size");
    Check(FindClose(search), "FindClose");
}

/* The active driver named `name` (WAV1:), found by walking Drivers\Active. */
static int FindActiveDriver(const WCHAR *name)
{
    HKEY active, entry;
    WCHAR sub[32], value[32];
    DWORD index, cch, type, cb;
    int found = 0;
    LONG rc;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, L"Drivers\\Active", 0, 0, &active) != ERROR_SUCCESS)
        return 0;
    cch = 1;
    Check(RegEnumKeyEx(active, 0, sub, &cch, NULL, NULL, NULL, NULL) == ERROR_MORE_DATA,
          "RegEnumKeyEx into a buffer too small: ERROR_MORE_DATA");
    for (index = 0;; ++index) {
        cch = sizeof sub / sizeof sub[0];
        rc = RegEnumKeyEx(active, index, sub, &cch, NULL, NULL, NULL, NULL);
        if (rc != ERROR_SUCCESS)
            break;
        Check(cch == (DWORD)wcslen(sub), "RegEnumKeyEx counts the name's characters");
        if (RegOpenKeyEx(active, sub, 0, 0, &entry) != ERROR_SUCCESS)
            continue;
        cb = sizeof value;
        if (RegQueryValueEx(entry, L"Name", NULL, &type, (LPBYTE)value, &cb) == ERROR_SUCCESS && type == REG_SZ &&
            wcscmp(value, name) == 0)
            found = 1;
        RegCloseKey(entry);
    }
    Check(rc == ERROR_NO_MORE_ITEMS, "RegEnumKeyEx ends with ERROR_NO_MORE_ITEMS");
    Check(index >= 2, "Drivers\\Active lists the built-in device and the driver");
    RegCloseKey(active);
    return found;
}

static void Sounds(void)
{
    HGLOBAL chime = LoadSound(L"\\Sounds\\chime.wav");
    Check(PlaySound(L"\\Sounds\\tone.wav", NULL, SND_FILENAME | SND_SYNC), "PlaySound of a file, SND_SYNC");
    Check(PlaySound((LPCWSTR)GlobalLock(chime), NULL, SND_MEMORY | SND_SYNC), "PlaySound SND_MEMORY");
    GlobalUnlock(chime);
    Check(GlobalFree(chime) == NULL, "GlobalFree");
    Check(PlaySound(L"Chime", NULL, SND_ALIAS | SND_SYNC), "PlaySound SND_ALIAS");
    Check(!PlaySound(L"NoSuchSound", NULL, SND_ALIAS | SND_NODEFAULT), "PlaySound of an unknown alias: FALSE");
    Check(!PlaySound(L"\\Sounds\\missing.wav", NULL, SND_FILENAME | SND_SYNC), "PlaySound of a missing file: FALSE");
    Check(PlaySound(L"\\Sounds\\tone.wav", NULL, SND_FILENAME | SND_ASYNC | SND_LOOP), "PlaySound SND_ASYNC | SND_LOOP");
    Check(!PlaySound(L"\\Sounds\\chime.wav", NULL, SND_FILENAME | SND_ASYNC | SND_NOSTOP),
          "PlaySound SND_NOSTOP while a sound plays: FALSE");
    Sleep(500); /* two and a half loops */
    Check(PlaySound(NULL, NULL, SND_PURGE), "PlaySound SND_PURGE");
    Check(PlaySound(L"\\Sounds\\alias.wav", NULL, SND_FILENAME | SND_ASYNC), "PlaySound SND_ASYNC");
    /* A new sound stops the one playing. */
    Check(sndPlaySound(L"\\Sounds\\tone.wav", SND_SYNC), "sndPlaySound SND_SYNC");
}

int RunBackEnd(void)
{
    HANDLE self = GetCurrentProcess();
    Check(self != NULL && self == GetCurrentProcess(), "GetCurrentProcess");
    Files();
    Check(FindActiveDriver(L"WAV1:"), "RegEnumKeyEx finds WAV1: under Drivers\\Active");
    Sounds();
    Check(MessageBox(NULL, L"sounds played", L"device_calls", MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION) == IDNO,
          "MessageBox answers its default button");
    return g_failures;
}

#endif /* _WIN32 && UNDER_CE */

int main(void)
{
    int failures = RunBackEnd();
    printf("failures %d\n", failures);
    return failures ? 1 : 0;
}
