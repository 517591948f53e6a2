#include "support/driver_fixture.h"

#include <sys/mman.h>

namespace testing_support {

std::unique_ptr<host::DriverModule> LoadFreshDriver()
{
    std::string error;
    auto m = host::DriverModule::Load(BTWAV_DRIVER_PATH, "WAV", &error);
    EXPECT_NE(m, nullptr) << error;
    return m;
}

void DriverTest::SetUp()
{
    host::ResetAll();
    btstandin::Reset();
    btstandin::KeepPackets(btstandin::kTestRecordBytes);
    ASSERT_FALSE(host::DriverModule::IsMapped(BTWAV_DRIVER_PATH)) << "a driver from an earlier test is still loaded";
    driver_ = LoadFreshDriver();
    ASSERT_NE(driver_, nullptr);
}

void DriverTest::TearDown()
{
    if (driver_ && hOpen_)
        Entry().Close(hOpen_);
    if (driver_ && hDevice_)
        Entry().Deinit(hDevice_);
    hOpen_ = hDevice_ = 0;
    btstandin::Reset();
    driver_.reset();
    host::ResetAll();
}

void DriverTest::InitAndOpen()
{
    hDevice_ = Entry().Init(nullptr, nullptr);
    ASSERT_NE(hDevice_, 0u);
    hOpen_ = Entry().Open(hDevice_, 0, 0);
    ASSERT_NE(hOpen_, 0u);
}

MessageAnswer DriverTest::Message(UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    MMDRV_MESSAGE_PARAMS params{};
    params.uMsg = uMsg;
    params.dwParam1 = dwParam1;
    params.dwParam2 = dwParam2;
    const DWORD kUnwritten = 0xA5A5A5A5u;
    DWORD result = kUnwritten;
    MessageAnswer a;
    a.returned = Entry().IOControl(hOpen_, IOCTL_WAV_MESSAGE, reinterpret_cast<LPBYTE>(&params), sizeof params,
                                   reinterpret_cast<LPBYTE>(&result), sizeof result, nullptr);
    a.wroteResult = result != kUnwritten;
    a.result = result;
    return a;
}

void* UnmappedPage()
{
    static void* page = [] {
        void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p;
    }();
    return page;
}

}  // namespace testing_support
