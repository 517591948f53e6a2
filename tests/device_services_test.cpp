// The services device code calls besides the wave API and the kernel's
// objects, each case from the platform's reference page for the call: the
// file calls over the host's files, moveable local memory, virtual memory,
// MessageBox, RegEnumKeyEx and PlaySound's answers.  The whole use of them
// by a device application, played, is tests/sdk/device_calls.c.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/clock.h"
#include "host/host.h"
#include "host/registry.h"

namespace {

std::u16string U(const std::string& s) { return host::Widen(s); }
const WCHAR* P(const std::u16string& s) { return reinterpret_cast<const WCHAR*>(s.c_str()); }

class DeviceServices : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetAll();
        char dir[] = "/tmp/device_services_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root_ = dir;
        mkdir((root_ + "/Sounds").c_str(), 0777);
        setenv("CEHOST_ROOT", root_.c_str(), 1);
    }
    void TearDown() override
    {
        host::ResetAll();
        unsetenv("CEHOST_ROOT");
        std::string command = "rm -rf '" + root_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    HANDLE Create(const std::string& path, DWORD access, DWORD disposition)
    {
        const std::u16string name = U(path);
        return CreateFileW(P(name), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    std::string root_;
};

// ---- Files ("CreateFile", "SetFilePointer", "ReadFile", "FindFirstFile") -------------

TEST_F(DeviceServices, CreateFileAnswersThePlatformsErrorsForEachDisposition)
{
    EXPECT_EQ(Create("\\Sounds\\none.wav", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Create("\\NoFolder\\a.wav", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    HANDLE f = Create("\\Sounds\\a.wav", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(f));
    EXPECT_FALSE(CloseHandle(f));   // a closed handle is no handle
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Create("\\Sounds\\a.wav", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    f = Create("\\sounds\\A.WAV", GENERIC_READ, OPEN_ALWAYS);   // the same file, in another case
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    char byte;
    DWORD n = 1;
    EXPECT_FALSE(WriteFile(f, "x", 1, &n, nullptr));   // opened for reading only
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ReadFile(f, &byte, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);   // the end of an empty file: TRUE, no bytes
    CloseHandle(f);
    EXPECT_EQ(Create("\\Sounds", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);   // a folder
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Create("\\..\\escape", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);   // stays under the root
}

TEST_F(DeviceServices, SetFilePointerMovesBySigned32Or64BitDistancesAndRefusesBeforeTheStart)
{
    HANDLE f = Create("data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(SetFilePointer(f, -3, nullptr, FILE_END), 7u);
    char c[4] = {};
    EXPECT_TRUE(ReadFile(f, c, 3, &n, nullptr));
    EXPECT_EQ(std::string(c, n), "789");
    EXPECT_EQ(SetFilePointer(f, -11, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(f, 0, nullptr, FILE_CURRENT), 10u);   // unmoved by the refusal
    LONG high = 1;   // 4 GiB + 2: past the end, as the platform allows
    EXPECT_EQ(SetFilePointer(f, 2, &high, FILE_BEGIN), 2u);
    EXPECT_EQ(high, 1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    DWORD sizeHigh = 7;
    EXPECT_EQ(GetFileSize(f, &sizeHigh), 10u);
    EXPECT_EQ(sizeHigh, 0u);
    CloseHandle(f);
}

TEST_F(DeviceServices, FindFirstFileMatchesWildcardsIgnoringCaseAndReportsFolders)
{
    for (const char* name : {"\\b.WAV", "\\a.wav", "\\readme"})
        CloseHandle(Create(name, GENERIC_WRITE, CREATE_ALWAYS));
    WIN32_FIND_DATAW data;
    const std::u16string wav = U("\\*.wav"), all = U("*.*"), none = U("\\*.mp3");
    HANDLE s = FindFirstFileW(P(wav), &data);
    ASSERT_NE(s, INVALID_HANDLE_VALUE);
    EXPECT_EQ(host::Narrow(data.cFileName), "a.wav");
    EXPECT_TRUE(FindNextFileW(s, &data));
    EXPECT_EQ(host::Narrow(data.cFileName), "b.WAV");
    EXPECT_FALSE(FindNextFileW(s, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(s));
    EXPECT_FALSE(FindClose(s));
    int count = 0, folders = 0;
    s = FindFirstFileW(P(all), &data);   // "*.*" is every name, "readme" too
    ASSERT_NE(s, INVALID_HANDLE_VALUE);
    do {
        ++count;
        folders += (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } while (FindNextFileW(s, &data));
    FindClose(s);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(folders, 1);   // Sounds
    EXPECT_EQ(FindFirstFileW(P(none), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// ---- Memory ("LocalReAlloc", "VirtualAlloc", "VirtualFree") ---------------------------

TEST_F(DeviceServices, MoveableMemoryIsItsOwnPointerAndOnlyMoveableBlocksGrowByMoving)
{
    HGLOBAL h = GlobalAlloc(GHND, 8);   // moveable and zeroed
    ASSERT_NE(h, nullptr);
    auto* p = static_cast<unsigned char*>(GlobalLock(h));
    EXPECT_EQ(static_cast<void*>(p), h);
    EXPECT_EQ(p[7], 0);
    EXPECT_EQ(GlobalSize(h), 8u);
    std::memset(p, 0xAB, 8);
    EXPECT_EQ(GlobalUnlock(h), 0);
    EXPECT_EQ(LocalReAlloc(h, 4096, LMEM_FIXED), nullptr);   // may not move: cannot grow here
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalSize(h), 8u);
    HLOCAL bigger = LocalReAlloc(h, 4096, LMEM_MOVEABLE | LMEM_ZEROINIT);
    ASSERT_NE(bigger, nullptr);
    auto* q = static_cast<unsigned char*>(bigger);
    EXPECT_EQ(q[7], 0xAB);     // kept
    EXPECT_EQ(q[8], 0);        // added, zeroed
    EXPECT_EQ(q[4095], 0);
    EXPECT_EQ(LocalSize(bigger), 4096u);
    EXPECT_EQ(LocalReAlloc(bigger, 16, LMEM_FIXED), bigger);   // shrinking stays in place
    EXPECT_EQ(LocalFree(bigger), nullptr);
}

TEST_F(DeviceServices, VirtualMemoryIsReservedCommittedDecommittedAndReleasedByRegion)
{
    const DWORD page = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 4 * page, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(base, nullptr);
    auto* second = static_cast<unsigned char*>(VirtualAlloc(base + page + 10, 1, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(second, base + page);   // the page that holds the address
    second[0] = 7;
    EXPECT_TRUE(VirtualFree(second, page, MEM_DECOMMIT));
    ASSERT_EQ(VirtualAlloc(second, page, MEM_COMMIT, PAGE_READWRITE), second);
    EXPECT_EQ(second[0], 0);   // committed again: a fresh page
    EXPECT_EQ(VirtualAlloc(base + 8 * page, page, MEM_COMMIT, PAGE_READWRITE), nullptr);   // not reserved
    EXPECT_EQ(VirtualAlloc(nullptr, page, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VirtualFree(base, page, MEM_RELEASE));   // a release takes the region, size 0
    EXPECT_FALSE(VirtualFree(second, 0, MEM_RELEASE));    // by the address VirtualAlloc answered
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
}

// ---- MessageBox ("MessageBox") -----------------------------------------------------------

TEST_F(DeviceServices, MessageBoxTellsItsTextAndAnswersTheDefaultButton)
{
    const std::u16string text = U("Stop?"), caption = U("Player");
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, P(text), P(caption), MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, P(text), P(caption), MB_YESNO | MB_DEFBUTTON3), IDYES);   // no third: the first
    EXPECT_EQ(MessageBoxW(nullptr, P(text), nullptr, MB_OK), IDOK);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("MessageBox: Player: Stop?\n"), std::string::npos);
    EXPECT_NE(told.find("MessageBox: Error: Stop?\n"), std::string::npos);   // no caption: "Error"
    EXPECT_EQ(MessageBoxW(nullptr, P(text), P(caption), 7), 0);               // no such button type
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// ---- RegEnumKeyEx ("RegEnumKeyEx") ---------------------------------------------------------

TEST_F(DeviceServices, RegEnumKeyExNamesEachSubkeyOnceAndEndsWithNoMoreItems)
{
    host::RegistryCreateKey("Walk\\Chain\\Deep\\Deeper");   // made together, one chain in the store
    host::RegistryCreateKey("Walk\\Second");
    HKEY walk;
    const std::u16string name = U("Walk");
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, P(name), 0, 0, &walk), ERROR_SUCCESS);
    std::vector<std::string> names;
    WCHAR buffer[16];
    DWORD cch;
    LONG rc;
    for (DWORD i = 0; cch = 16, (rc = RegEnumKeyExW(walk, i, buffer, &cch, nullptr, nullptr, nullptr, nullptr)) ==
                               ERROR_SUCCESS;
         ++i) {
        EXPECT_EQ(cch, host::Narrow(buffer).size());
        names.push_back(host::Narrow(buffer));
    }
    EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Chain", "Second"}));
    DWORD reserved = 0;
    cch = 16;
    EXPECT_EQ(RegEnumKeyExW(walk, 0, buffer, &cch, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    host::RegistryDeleteKey("Walk");
    cch = 16;
    EXPECT_EQ(RegEnumKeyExW(walk, 0, buffer, &cch, nullptr, nullptr, nullptr, nullptr), 1018);   // ERROR_KEY_DELETED
    RegCloseKey(walk);
}

// ---- PlaySound ("PlaySound") ------------------------------------------------------------------

std::vector<uint8_t> Wav(uint16_t tag, uint32_t bytes)
{
    std::vector<uint8_t> w(44 + bytes, 0);
    auto le = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            w[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::memcpy(&w[0], "RIFF", 4);
    le(4, 36 + bytes, 4);
    std::memcpy(&w[8], "WAVEfmt ", 8);
    le(16, 16, 4);
    le(20, tag, 2);
    le(22, 2, 2);
    le(24, 44100, 4);
    le(28, 44100 * 4, 4);
    le(32, 4, 2);
    le(34, 16, 2);
    std::memcpy(&w[36], "data", 4);
    le(40, bytes, 4);
    return w;
}

TEST_F(DeviceServices, PlaySoundAnswersFalseForWhatItCannotPlayAndStopsALoopOnPurgeOrReset)
{
    const std::vector<uint8_t> pcm = Wav(1, 4 * 4410), adpcm = Wav(2, 4 * 4410);
    const std::u16string missing = U("\\Sounds\\none.wav");
    const auto* image = reinterpret_cast<const WCHAR*>(pcm.data());
    EXPECT_FALSE(PlaySoundW(P(missing), nullptr, SND_FILENAME | SND_ASYNC));
    // A format no device takes and the mapper cannot convert: refused, FALSE.
    EXPECT_FALSE(PlaySoundW(reinterpret_cast<const WCHAR*>(adpcm.data()), nullptr, SND_MEMORY | SND_ASYNC));
    EXPECT_FALSE(PlaySoundW(image, nullptr, SND_MEMORY | SND_LOOP));   // a loop must be asynchronous
    EXPECT_FALSE(PlaySoundW(image, nullptr, SND_RESOURCE));            // no module carries resources
    // On the virtual clock nothing plays until it is advanced: the loop
    // stands until stopped.
    ASSERT_TRUE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC | SND_LOOP));
    EXPECT_FALSE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC | SND_NOSTOP));
    host::AdvanceVirtualMs(50);
    EXPECT_TRUE(PlaySoundW(nullptr, nullptr, 0));   // stops it
    EXPECT_TRUE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC | SND_NOSTOP));   // nothing plays now
    ASSERT_TRUE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC | SND_LOOP));
    host::ResetAll();   // the platform's teardown stops it too
    EXPECT_TRUE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC | SND_NOSTOP));
    EXPECT_TRUE(PlaySoundW(image, nullptr, SND_PURGE));
}

// The device a sound needs is held by an application: the wave API answers
// MMSYSERR_ALLOCATED to the sound's open, and PlaySound, whose page promises
// only TRUE or FALSE, answers FALSE; once the application closes, it plays.
TEST_F(DeviceServices, PlaySoundAnswersFalseWhileAnotherClientHoldsTheDevice)
{
    const std::vector<uint8_t> pcm = Wav(1, 4 * 4410);
    const auto* image = reinterpret_cast<const WCHAR*>(pcm.data());
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 44100 * 4;
    HWAVEOUT held = nullptr;
    ASSERT_EQ(waveOutOpen(&held, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), UINT(MMSYSERR_NOERROR));
    EXPECT_FALSE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC));
    EXPECT_FALSE(PlaySoundW(image, nullptr, SND_MEMORY | SND_SYNC));
    ASSERT_EQ(waveOutClose(held), UINT(MMSYSERR_NOERROR));
    EXPECT_TRUE(PlaySoundW(image, nullptr, SND_MEMORY | SND_ASYNC));
    EXPECT_TRUE(PlaySoundW(nullptr, nullptr, 0));
}

}  // namespace
