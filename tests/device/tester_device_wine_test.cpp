// TesterDevice with the Win32 serial port, run under Wine on a COM port whose far end is the
// native simulated tester (scripts/wine-pty-test.sh). --mode=normal expects a tester started with
// "--on --steady", --mode=silent one started with "--silent", --mode=unordered one started with
// "--on --steady --late-unordered 0c:250 --late-unordered 11:150".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/tester_device.h"
#include "sim/simulated_tester.h"
#include "tests/device/device_test_support.h"

namespace {

std::wstring g_portName = L"COM8";
std::string g_mode = "normal";

class WineTester : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(device.Open(g_portName.c_str()), 0u); }
    TesterDevice device;
    DeviceReadings& r = device.readings;
};
using WineSilent = WineTester;

// In each of 20 poll cycles every field a request changes takes the steady tester's value, which
// a tester of the test's own encodes, and by the end every field has. With voltages and timings
// late, after the replies to the requests behind them, every other request is answered from the
// third cycle on.
TEST_F(WineTester, PollCyclesTakeEachRequestsOwnReply)
{
    const struct {
        Request read;
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
    options.steady = options.startOn = true;
    SimulatedTester tester(options);
    DeviceReadings steady;
    FillReadings(steady, 0, 0);  // as a new TesterDevice's
    for (const auto& request : kCycle) {
        static uint8_t data[kMaxReplyData];
        int32_t length = tester.Answer(request.command, nullptr, 0, 0, data);
        ASSERT_TRUE(DecodeReply(request.command, data, static_cast<uint32_t>(length), steady));
    }
    const std::vector<int32_t> expected = SnapshotReadings(steady);
    for (int cycle = 0; cycle < 20; ++cycle) {
        for (const auto& request : kCycle) {
            SCOPED_TRACE("cycle " + std::to_string(cycle) + ", command " + std::to_string(request.command));
            std::vector<int32_t> before = SnapshotReadings(r);
            bool answered = (device.*request.read)();
            std::vector<int32_t> after = SnapshotReadings(r);
            for (size_t i = 0; i < after.size(); ++i)
                EXPECT_TRUE(after[i] == before[i] || after[i] == expected[i])
                    << "field " << i << ": " << after[i] << ", the tester's " << expected[i];
            // A late request may take its own command's reply of the cycle before, one of the
            // same values; every other request takes its own reply.
            EXPECT_TRUE(answered || (g_mode != "normal" && (cycle < 2 || request.late)));
        }
    }
    if (g_mode != "normal")
        return;
    EXPECT_EQ(SnapshotReadings(r), expected);

    // The requests that change the tester come last in the same test, as they leave it off: in a
    // test of their own, a shuffled order would run the poll cycles against a switched-off tester.
    uint8_t first = 0, second = 0;
    ASSERT_TRUE(device.Identify(first, second));
    EXPECT_EQ(first * 256 + second, 0x020B);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingBuzzerMode]), 2);
    StoreByte(r.deviceSettings[kSettingBuzzerMode], 1);
    ASSERT_TRUE(device.WriteSettings());
    StoreByte(r.deviceSettings[kSettingBuzzerMode], 0);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingBuzzerMode]), 1);
    ASSERT_TRUE(device.ResetMinMax());
    EXPECT_EQ(device.SetPower(false), 0);
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(r.powerStatus) & 0x03, kPowerStatusOff);
}

TEST_F(WineSilent, EveryRequestFailsAndLeavesTheReadingsAlone)
{
    FillReadings(r, 4242);
    const std::vector<int32_t> untouched = SnapshotReadings(r);
    uint8_t first = 0, second = 0;
    EXPECT_FALSE(device.Identify(first, second));
    for (Request request : kRequests) EXPECT_FALSE((device.*request)());
    EXPECT_EQ(device.SetPower(true), 1);
    EXPECT_EQ(SnapshotReadings(r), untouched);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--port=", 7) == 0) {
            std::string name = argv[i] + 7;
            g_portName.assign(name.begin(), name.end());
        } else if (std::strncmp(argv[i], "--mode=", 7) == 0) {
            g_mode = argv[i] + 7;
        }
    }
    ::testing::GTEST_FLAG(filter) = g_mode == "silent" ? "WineSilent.*" : "WineTester.*";
    return RUN_ALL_TESTS();
}
