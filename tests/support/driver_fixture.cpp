#include "support/driver_fixture.h"

namespace testing_support {

std::unique_ptr<host::DriverModule> LoadFreshDriver()
{
    std::string error;
    auto m = LoadDriver(BTWAV_DRIVER_PATH, &error);
    EXPECT_NE(m, nullptr) << error;
    return m;
}

void DriverTest::SetUp()
{
    FreshHost();
    ASSERT_FALSE(host::DriverModule::IsMapped(BTWAV_DRIVER_PATH)) << "a driver from an earlier test is still loaded";
    driver_ = LoadFreshDriver();
    ASSERT_NE(driver_, nullptr);
    std::string missing;
    ASSERT_TRUE(r_.BindAll(*driver_, &missing)) << missing;
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

}  // namespace testing_support
