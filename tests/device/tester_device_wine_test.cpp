// TesterDevice with the Win32 serial port, run under Wine on a COM port whose far end is the
// native simulated tester (scripts/wine-pty-test.sh). --mode=normal expects a tester started with
// "--on --steady", --mode=silent one started with "--silent", --mode=unordered one started with
// "--on --steady --late-unordered 0c:250 --late-unordered 11:150".
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "device/tester_device.h"
#include "sim/simulated_tester.h"
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
using WineUnordered = WineTester;

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

// Voltages and timings come late, after the replies to the requests behind them. In each of 20
// poll cycles every field a request changes takes the steady tester's value, which a tester of the
// test's own encodes; from the third cycle on every other request is answered.
TEST_F(WineUnordered, LateRepliesOutOfOrderAreDecodedByNoOtherRequest)
{
    const struct {
        bool (TesterDevice::*read)();
        uint8_t command;
        bool late;
    } kCycle[] = {{&TesterDevice::ReadStatus, kCommandStatus, false},
                  {&TesterDevice::ReadVoltages, kCommandVoltages, true},
                  {&TesterDevice::ReadRipple, kCommandRipple, false},
                  {&TesterDevice::ReadCurrents, kCommandCurrents, false},
                  {&TesterDevice::ReadTimings, kCommandTimings, true},
                  {&TesterDevice::ReadSlewAndSequence, kCommandSlewAndSequence, false},
                  {&TesterDevice::ReadVoltageMinMax, kCommandVoltageMinMax, false},
                  {&TesterDevice::ReadCurrentMinMax, kCommandCurrentMinMax, false}};
    TesterOptions options;
    options.steady = true;
    options.startOn = true;
    SimulatedTester tester(options);
    DeviceReadings steady;
    FillReadings(steady, 4242);
    for (const auto& request : kCycle) {
        static uint8_t data[kMaxReplyData];
        int32_t length = tester.Answer(request.command, nullptr, 0, 0, data);
        ASSERT_TRUE(DecodeReply(request.command, data, static_cast<uint32_t>(length), steady));
    }
    std::vector<int32_t> expected = SnapshotReadings(steady);
    for (int cycle = 0; cycle < 20; ++cycle) {
        for (const auto& request : kCycle) {
            SCOPED_TRACE("cycle " + std::to_string(cycle) + ", command " + std::to_string(request.command));
            std::vector<int32_t> before = SnapshotReadings(device.readings);
            bool answered = (device.*request.read)();
            std::vector<int32_t> after = SnapshotReadings(device.readings);
            for (size_t i = 0; i < after.size(); ++i)
                EXPECT_TRUE(after[i] == before[i] || after[i] == expected[i])
                    << "field " << i << ": " << after[i] << ", the tester's " << expected[i];
            // A late request may take its own command's reply of the cycle before, one of the
            // same values; every other request takes its own reply.
            if (cycle >= 2 && !request.late) {
                EXPECT_TRUE(answered);
            }
        }
    }
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
    ::testing::GTEST_FLAG(filter) =
        mode == "silent" ? "WineSilent.*" : mode == "unordered" ? "WineUnordered.*" : "WineTester.*";
    return RUN_ALL_TESTS();
}
