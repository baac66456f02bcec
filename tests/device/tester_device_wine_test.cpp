// TesterDevice with the Win32 serial port, run under Wine on a COM port whose far end is the
// native simulated tester (scripts/wine-pty-test.sh). --mode=normal expects a tester started with
// "--on --steady", --mode=silent one started with "--silent".
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "device/tester_device.h"
#include "tests/device/device_test_support.h"

namespace {

std::wstring g_portName = L"COM8";

using Clock = std::chrono::steady_clock;
constexpr auto kRequestBound = std::chrono::milliseconds(400);

class WineTester : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(device.Open(g_portName.c_str()), 0u); }
    void TearDown() override { device.Close(); }
    TesterDevice device;
};

using WineSilent = WineTester;

TEST_F(WineTester, IdentifyAndEveryRead)
{
    uint8_t first = 0, second = 0;
    ASSERT_TRUE(device.Identify(first, second));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 11);

    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(device.readings.powerStatus) & 0x07, kPowerStatusOn | kPowerStatusVoltagesPass);
    ASSERT_TRUE(device.ReadVoltages());
    EXPECT_NEAR(LoadWord(device.readings.voltage[kChannel12V1]), 12060, 4);
    EXPECT_NEAR(LoadWord(device.readings.voltage[kChannel3V3]), 3340, 2);
    EXPECT_NEAR(LoadWord(device.readings.voltage[kChannelMinus12V]), -11920, 5);
    ASSERT_TRUE(device.ReadCurrents());
    EXPECT_NEAR(LoadWord(device.readings.current[kChannel12V1]), 9000, 14);
    EXPECT_NEAR(LoadWord(device.readings.current[kChannel3V3Sata]), 600, 1);
    ASSERT_TRUE(device.ReadVoltageMinMax());
    EXPECT_EQ(LoadWord(device.readings.voltageMin[kChannel5V]), LoadWord(device.readings.voltage[kChannel5V]));
    ASSERT_TRUE(device.ReadCurrentMinMax());
    EXPECT_EQ(LoadWord(device.readings.currentMax[kChannel5V]), LoadWord(device.readings.current[kChannel5V]));
    ASSERT_TRUE(device.ReadRipple());
    EXPECT_EQ(LoadWord(device.readings.ripple[kChannel12V1]), 22);
    ASSERT_TRUE(device.ReadTimings());
    EXPECT_EQ(LoadWord(device.readings.timing[0][0]), 150);
    EXPECT_EQ(LoadWord(device.readings.timing[3][3]), 18);
    ASSERT_TRUE(device.ReadSlewAndSequence());
    EXPECT_EQ(LoadWord(device.readings.slewRate[0]), 12060 / 8);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(device.readings.deviceSettings[kSettingBuzzerMode]), 2);
    StoreByte(device.readings.deviceSettings[kSettingBuzzerMode], 1);
    ASSERT_TRUE(device.WriteSettings());
    StoreByte(device.readings.deviceSettings[kSettingBuzzerMode], 0);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(device.readings.deviceSettings[kSettingBuzzerMode]), 1);
    ASSERT_TRUE(device.ResetMinMax());
    EXPECT_EQ(device.SetPower(false), 0);
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(device.readings.powerStatus) & 0x03, kPowerStatusOff);
}

TEST_F(WineTester, ManyCyclesInARow)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(device.ReadVoltages());
        ASSERT_TRUE(device.ReadRipple());
        ASSERT_TRUE(device.ReadCurrents());
        ASSERT_TRUE(device.ReadTimings());
        ASSERT_TRUE(device.ReadSlewAndSequence());
        ASSERT_TRUE(device.ReadVoltageMinMax());
        ASSERT_TRUE(device.ReadCurrentMinMax());
    }
    EXPECT_NEAR(LoadWord(device.readings.voltage[kChannel5VSB]), 5030, 2);
}

TEST_F(WineSilent, EveryRequestTimesOut)
{
    StoreWord(device.readings.voltage[0], 4242);
    auto check = [](auto request) {
        auto start = Clock::now();
        auto result = request();
        EXPECT_LT(Clock::now() - start, kRequestBound);
        return result;
    };
    uint8_t first = 0, second = 0;
    EXPECT_FALSE(check([&] { return device.Identify(first, second); }));
    for (Request request : kRequests)
        EXPECT_FALSE(check([&] { return (device.*request)(); }));
    EXPECT_EQ(check([&] { return device.SetPower(true); }), 1);
    EXPECT_EQ(LoadWord(device.readings.voltage[0]), 4242);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string mode = "normal";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) == 0) {
            std::string name = argv[i] + 7;
            g_portName.assign(name.begin(), name.end());
        } else if (std::strncmp(argv[i], "--mode=", 7) == 0) {
            mode = argv[i] + 7;
        }
    }
    ::testing::GTEST_FLAG(filter) = mode == "silent" ? "WineSilent.*" : "WineTester.*";
    return RUN_ALL_TESTS();
}
