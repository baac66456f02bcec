// TesterDevice over a real pseudo-terminal against the simulated tester: every request, the
// power switch and its refusals, settings, and every fault the simulator can put on the line.
// Each fault must end in a bounded failure, never a hang or a wrongly decoded reply.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/tester_device.h"
#include "tests/device/device_test_support.h"
#include "tests/device/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the contract is 200 ms per request; the machine is small and shared.
constexpr auto kRequestBound = std::chrono::milliseconds(400);

// The simulator's steady readings (--steady), by tester channel, and the step of each channel's
// converter: a decoded value lies within one step of what the tester measured.
constexpr int32_t kSteadyMillivolts[7] = {12060, 5040, 3340, 12050, 5030, 12040, -11920};
constexpr int32_t kVoltageStep[7] = {4, 2, 2, 4, 2, 4, 5};
constexpr int32_t kSteadyMilliamps[10] = {9000, 7000, 5000, 6000, 800, 4000, 0, 1500, 1200, 600};
constexpr int32_t kCurrentStep[10] = {14, 14, 14, 14, 3, 14, 0, 1, 1, 1};

void ExpectSteadyVoltages(const DeviceReadings& r)
{
    for (int c = 0; c < 7; ++c)
        EXPECT_NEAR(LoadWord(r.voltage[c]), kSteadyMillivolts[c], kVoltageStep[c]) << "channel " << c;
    EXPECT_EQ(LoadWord(r.voltage[7]), LoadWord(r.voltage[0]));
    EXPECT_EQ(LoadWord(r.voltage[8]), LoadWord(r.voltage[1]));
    EXPECT_EQ(LoadWord(r.voltage[9]), LoadWord(r.voltage[2]));
}

void ExpectSteadyCurrents(const DeviceReadings& r)
{
    for (int c = 0; c < 10; ++c)
        EXPECT_NEAR(LoadWord(r.current[c]), kSteadyMilliamps[c], kCurrentStep[c]) << "channel " << c;
}

class TesterDeviceTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        device.Close();
        sim.Stop();
    }

    void StartSim(std::vector<std::string> args)
    {
        logPath = MakeTempPath("ombrelo-device-log");
        args.push_back("--log");
        args.push_back(logPath);
        ASSERT_TRUE(sim.Start(args));
        ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u);
    }

    // Runs one request and checks that it kept to its time bound.
    template <typename Request>
    auto Timed(Request request)
    {
        auto start = Clock::now();
        auto result = request();
        EXPECT_LT(Clock::now() - start, kRequestBound);
        return result;
    }

    SimProcess sim;
    TesterDevice device;
    std::string logPath;
};

// ---- Requests -------------------------------------------------------------------------------

TEST_F(TesterDeviceTest, EveryRequestDecodesTheTestersReadings)
{
    StartSim({"--on", "--steady"});
    uint8_t first = 0, second = 0;
    ASSERT_TRUE(device.Identify(first, second));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 11);

    ASSERT_TRUE(device.ReadStatus());
    uint8_t status = LoadByte(device.readings.powerStatus);
    EXPECT_EQ(status & kPowerStatusOn, kPowerStatusOn);
    EXPECT_EQ(status & kPowerStatusOff, 0);
    EXPECT_EQ(status & kPowerStatusVoltagesPass, kPowerStatusVoltagesPass);
    EXPECT_EQ(status >> kPowerStatusTimingsShift, 0) << "timings PASS";
    // The sum of volts times amperes over the loaded channels: about 311 W.
    EXPECT_NEAR(LoadWord(device.readings.totalPower), 311146, 1500);

    ASSERT_TRUE(device.ReadVoltages());
    ExpectSteadyVoltages(device.readings);
    ASSERT_TRUE(device.ReadCurrents());
    ExpectSteadyCurrents(device.readings);

    ASSERT_TRUE(device.ReadVoltageMinMax());
    ASSERT_TRUE(device.ReadCurrentMinMax());
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(LoadWord(device.readings.voltageMin[c]), LoadWord(device.readings.voltage[c]));
        EXPECT_EQ(LoadWord(device.readings.voltageMax[c]), LoadWord(device.readings.voltage[c]));
    }
    for (int c = 0; c < 10; ++c) {
        EXPECT_EQ(LoadWord(device.readings.currentMin[c]), LoadWord(device.readings.current[c]));
        EXPECT_EQ(LoadWord(device.readings.currentMax[c]), LoadWord(device.readings.current[c]));
    }

    ASSERT_TRUE(device.ReadRipple());
    const int32_t ripple[6] = {22, 14, 11, 24, 12, 23};
    for (int c = 0; c < 6; ++c) EXPECT_EQ(LoadWord(device.readings.ripple[c]), ripple[c]);

    ASSERT_TRUE(device.ReadTimings());
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(LoadWord(device.readings.timing[c][0]), 150 + 10 * c);
        EXPECT_EQ(LoadWord(device.readings.timing[c][1]), 8 + c);
        EXPECT_EQ(LoadWord(device.readings.timing[c][2]), 250);
        EXPECT_EQ(LoadWord(device.readings.timing[c][3]), 15 + c);
    }

    StoreWord(device.readings.voltageSequence[2], 77);
    StoreWord(device.readings.timeSequence[2], 77);
    ASSERT_TRUE(device.ReadSlewAndSequence());
    const int32_t slew[4] = {12060 / 8, 5040 / 9, 3340 / 10, 12050 / 11};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(LoadWord(device.readings.slewRate[c]), slew[c]);
        EXPECT_EQ(LoadWord(device.readings.turnOnSlope[c]), 0);
    }
    for (int c : {0, 1, 3}) {
        EXPECT_EQ(LoadWord(device.readings.voltageSequence[c]), 0);
        EXPECT_EQ(LoadWord(device.readings.timeSequence[c]), 0);
    }
    EXPECT_EQ(LoadWord(device.readings.voltageSequence[2]), 77) << "3.3V is never written";
    EXPECT_EQ(LoadWord(device.readings.timeSequence[2]), 77);

    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(device.readings.deviceSettings[kSettingCpu12vCable]), 1);
    EXPECT_EQ(LoadByte(device.readings.deviceSettings[kSettingBuzzerMode]), 2);

    EXPECT_EQ(ReadLogLines(logPath), (std::vector<std::string>{"0a", "0b", "0c", "0d", "0e", "0f",
                                                                "10", "11", "12", "40"}));
}

TEST_F(TesterDeviceTest, SettingsGoOutAsTheyAreAndComeBack)
{
    StartSim({});
    ASSERT_TRUE(device.ReadSettings());
    uint8_t written[kSettingsSize];
    for (int i = 0; i < kSettingsSize; ++i) written[i] = LoadByte(device.readings.deviceSettings[i]);
    written[kSettingCpu12vCable] = 0;
    written[kSettingPcie12vCable] = 1;
    written[kSettingComplianceMode] = 1;
    written[kSettingBuzzerMode] = 0;
    for (int i = 0; i < kSettingsSize; ++i) StoreByte(device.readings.deviceSettings[i], written[i]);
    ASSERT_TRUE(device.WriteSettings());

    for (auto& byte : device.readings.deviceSettings) StoreByte(byte, 0xEE);
    ASSERT_TRUE(device.ReadSettings());
    for (int i = 0; i < kSettingsSize; ++i) EXPECT_EQ(LoadByte(device.readings.deviceSettings[i]), written[i]);

    std::vector<std::string> log = ReadLogLines(logPath);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "40");
    EXPECT_EQ(log[1], "41 01 00 32 00 64 00 05 0a 00 00 00 00 00 00 00 01 01 00");
    EXPECT_EQ(log[2], "40");
}

TEST_F(TesterDeviceTest, ResetMinMaxEmptiesTheTestersExtremes)
{
    StartSim({"--on"});
    ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ResetMinMax());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(LoadWord(device.readings.voltageMin[c]), kNotAvailable);
        EXPECT_EQ(LoadWord(device.readings.voltageMax[c]), kNotAvailable);
    }
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    for (int c = 0; c < 7; ++c) {
        EXPECT_NEAR(LoadWord(device.readings.voltageMin[c]), kSteadyMillivolts[c], 60);
        EXPECT_LE(LoadWord(device.readings.voltageMin[c]), LoadWord(device.readings.voltage[c]));
        EXPECT_GE(LoadWord(device.readings.voltageMax[c]), LoadWord(device.readings.voltage[c]));
    }
    EXPECT_EQ(ReadLogLines(logPath)[1], "21");
}

TEST_F(TesterDeviceTest, PowerSwitchAndWhatDependsOnIt)
{
    StartSim({"--steady", "--cooling", "300"});
    // Before the first switch-on nothing has been timed.
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(device.readings.powerStatus) & 0x03, kPowerStatusOff);
    EXPECT_EQ(LoadByte(device.readings.powerStatus) >> kPowerStatusTimingsShift, 2);
    ASSERT_TRUE(device.ReadTimings());
    ASSERT_TRUE(device.ReadSlewAndSequence());
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 4; ++k) EXPECT_EQ(LoadWord(device.readings.timing[c][k]), kNotAvailable);
        EXPECT_EQ(LoadWord(device.readings.slewRate[c]), kNotAvailable);
        EXPECT_EQ(LoadWord(device.readings.turnOnSlope[c]), kNotAvailable);
    }
    ASSERT_TRUE(device.ReadVoltages());
    EXPECT_EQ(LoadWord(device.readings.voltage[0]), 0);
    EXPECT_NEAR(LoadWord(device.readings.voltage[4]), 5030, 2) << "standby stays on";

    EXPECT_EQ(device.SetPower(true), 0);
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(device.readings.powerStatus) & 0x03, kPowerStatusOn);
    ASSERT_TRUE(device.ReadTimings());
    EXPECT_EQ(LoadWord(device.readings.timing[0][0]), 150);

    EXPECT_EQ(device.SetPower(false), 0);
    EXPECT_EQ(device.SetPower(true), 2) << "still cooling down";
    ASSERT_TRUE(device.ReadTimings());
    EXPECT_EQ(LoadWord(device.readings.timing[1][2]), kNotAvailable);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(device.SetPower(true), 0);

    std::vector<std::string> log = ReadLogLines(logPath);
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log[4], "20 01");
    EXPECT_EQ(log[7], "20 00");
    EXPECT_EQ(log[10], "20 01");
}

TEST_F(TesterDeviceTest, RefusedSwitches)
{
    StartSim({"--refuse-on"});
    EXPECT_EQ(device.SetPower(true), 2);
    device.Close();
    sim.Stop();
    StartSim({"--on", "--refuse-off"});
    EXPECT_EQ(device.SetPower(false), 1);
}

TEST_F(TesterDeviceTest, IdentifyChecksTheLettersAndPassesTheVersion)
{
    StartSim({"--identity", "PSX"});
    uint8_t first = 0xAB, second = 0xCD;
    EXPECT_FALSE(device.Identify(first, second));
    EXPECT_EQ(first, 0xAB);
    EXPECT_EQ(second, 0xCD);
    device.Close();
    sim.Stop();

    StartSim({"--firmware", "1.10"});
    ASSERT_TRUE(device.Identify(first, second));
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 10);
}

TEST_F(TesterDeviceTest, ReopeningStartsAFreshPort)
{
    StartSim({"--on", "--steady"});
    ASSERT_TRUE(device.ReadVoltages());
    device.Close();
    EXPECT_FALSE(device.ReadVoltages()) << "a closed port sends nothing";
    ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u);
    ASSERT_TRUE(device.ReadCurrents());
    ExpectSteadyCurrents(device.readings);
    ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u) << "open without close";
    EXPECT_EQ(device.LastOpenError(), 0);
    ASSERT_TRUE(device.ReadVoltages());
    ExpectSteadyVoltages(device.readings);

    // The port's code and error come through: a second user of the port is told it is busy (even
    // as root), and the first keeps its port.
    TesterDevice other;
    EXPECT_EQ(other.Open(sim.WideDevicePath().c_str()), kSerialOpenDeviceFailed);
    EXPECT_EQ(other.LastOpenError(), EBUSY);
    EXPECT_FALSE(other.ReadVoltages()) << "a port that did not open sends nothing";
    ASSERT_TRUE(device.ReadVoltages());

    EXPECT_EQ(device.Open(L"/dev/ombrelo-no-such-port"), kSerialOpenDeviceFailed);
    EXPECT_EQ(device.LastOpenError(), ENOENT);
}

TEST_F(TesterDeviceTest, ReadingsCanBeWatchedWhileRepliesAreDecoded)
{
    // The UI thread reads the readings word by word while the worker's requests write them.
    StartSim({"--on", "--garbage"});
    std::atomic<bool> stop{false};
    std::atomic<int64_t> seen{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            int64_t sum = 0;
            for (const auto& w : device.readings.voltage) sum += LoadWord(w);
            for (const auto& w : device.readings.currentMax) sum += LoadWord(w);
            sum += LoadByte(device.readings.powerStatus);
            seen.store(sum);
        }
    });
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(device.ReadStatus());
        EXPECT_TRUE(device.ReadVoltages());
        EXPECT_TRUE(device.ReadCurrentMinMax());
    }
    stop.store(true);
    watcher.join();
    EXPECT_NE(seen.load(), 0);
    EXPECT_NEAR(LoadWord(device.readings.voltage[0]), kSteadyMillivolts[0], 60);
}

// ---- Faults ---------------------------------------------------------------------------------

TEST_F(TesterDeviceTest, SilentTesterTimesOutEveryRequest)
{
    StartSim({"--silent"});
    FillReadings(device.readings, 4242);
    uint8_t first = 9, second = 9;
    EXPECT_FALSE(Timed([&] { return device.Identify(first, second); }));
    EXPECT_EQ(first, 9);
    for (Request request : kRequests)
        EXPECT_FALSE(Timed([&] { return (device.*request)(); }));
    EXPECT_EQ(device.SetPower(true), 1);
    EXPECT_EQ(device.SetPower(false), 1);
    EXPECT_EQ(LoadWord(device.readings.voltage[0]), 4242);
    EXPECT_EQ(LoadWord(device.readings.currentMax[9]), 4242);
    EXPECT_EQ(LoadWord(device.readings.timing[3][3]), 4242);
    // Every request still went out; the ones that change the tester each behind a status request
    // that tries to settle the replies owed.
    std::vector<std::string> log = ReadLogLines(logPath);
    ASSERT_EQ(log.size(), 18u);
    for (size_t i : {10u, 12u, 14u, 16u}) EXPECT_EQ(log[i], "0b") << i;
    EXPECT_EQ(log[17], "20 00");
}

TEST_F(TesterDeviceTest, UnansweredCommandDoesNotSpoilTheOthers)
{
    StartSim({"--on", "--steady", "--ignore", "0b"});
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        FillReadings(device.readings, 4242);
        EXPECT_FALSE(Timed([&] { return device.ReadStatus(); }));
        EXPECT_TRUE(Timed([&] { return device.ReadVoltages(); }));
        ExpectSteadyVoltages(device.readings);
        EXPECT_TRUE(Timed([&] { return device.ReadRipple(); }));
        EXPECT_TRUE(Timed([&] { return device.ReadCurrents(); }));
        ExpectSteadyCurrents(device.readings);
        EXPECT_TRUE(Timed([&] { return device.ReadCurrentMinMax(); }));
    }
}

// ---- Missed, late and longer replies ---------------------------------------------------------

// The poll cycle's requests in the worker's order, each with one decoded value it must produce from
// the simulator's steady readings, or leave alone when it fails.
struct CycleRequest {
    const char* name;
    Request request;
    int32_t (*load)(const DeviceReadings&);
    int32_t expected;
    int32_t tolerance;
};

const CycleRequest kCycle[] = {
    {"status", &TesterDevice::ReadStatus, [](const DeviceReadings& r) { return LoadWord(r.totalPower); },
     311146, 1500},
    {"voltages", &TesterDevice::ReadVoltages, [](const DeviceReadings& r) { return LoadWord(r.voltage[0]); },
     12060, 4},
    {"ripple", &TesterDevice::ReadRipple, [](const DeviceReadings& r) { return LoadWord(r.ripple[5]); }, 23, 0},
    {"currents", &TesterDevice::ReadCurrents, [](const DeviceReadings& r) { return LoadWord(r.current[1]); },
     7000, 14},
    {"timings", &TesterDevice::ReadTimings, [](const DeviceReadings& r) { return LoadWord(r.timing[3][3]); },
     18, 0},
    {"slew", &TesterDevice::ReadSlewAndSequence,
     [](const DeviceReadings& r) { return LoadWord(r.slewRate[1]); }, 5040 / 9, 0},
    {"voltage min/max", &TesterDevice::ReadVoltageMinMax,
     [](const DeviceReadings& r) { return LoadWord(r.voltageMax[6]); }, -11920, 5},
    {"current min/max", &TesterDevice::ReadCurrentMinMax,
     [](const DeviceReadings& r) { return LoadWord(r.currentMin[9]); }, 600, 1},
};
constexpr size_t kCycleLength = sizeof(kCycle) / sizeof(kCycle[0]);

struct LinkFault {
    const char* name;
    std::vector<std::string> args;
    // Which requests of the first cycle fail; every later cycle must be whole again, except for
    // the requests in `alwaysFailing`.
    std::vector<const char*> failingFirst;
    std::vector<const char*> alwaysFailing;
};

bool Contains(const std::vector<const char*>& names, const char* name)
{
    for (const char* n : names)
        if (std::string(n) == name)
            return true;
    return false;
}

// Replies longer than their layouts (a newer firmware) are decoded from the same positions; a
// missed or late reply fails its own request only, is never decoded by another one, and the link
// is whole again by the next cycle.
TEST_F(TesterDeviceTest, PollCyclesRecoverFromMissedAndLateReplies)
{
    const LinkFault faults[] = {
        {"plain", {}, {}, {}},
        {"padded", {"--pad", "9"}, {}, {}},
        {"padded, voltages missed once", {"--pad", "9", "--drop-once", "0c"}, {"voltages"}, {}},
        {"padded, the cycle's last reply missed once", {"--pad", "5", "--drop-once", "0f"},
         {"current min/max"}, {}},
        {"padded, two replies in a row missed", {"--pad", "3", "--drop-once", "10", "--drop-once", "0d"},
         {"ripple", "currents"}, {}},
        // Its reply comes in the timings request's window, right before the timings reply.
        {"padded, currents always late", {"--pad", "9", "--late", "0d"}, {"currents"}, {"currents"}},
    };
    for (const LinkFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        std::vector<std::string> args = {"--on", "--steady"};
        args.insert(args.end(), fault.args.begin(), fault.args.end());
        StartSim(args);
        for (int cycle = 0; cycle < 3; ++cycle) {
            for (const CycleRequest& r : kCycle) {
                SCOPED_TRACE(std::string("cycle ") + std::to_string(cycle) + ", " + r.name);
                FillReadings(device.readings, 4242);
                bool fails = Contains(fault.alwaysFailing, r.name) ||
                             (cycle == 0 && Contains(fault.failingFirst, r.name));
                EXPECT_EQ(Timed([&] { return (device.*r.request)(); }), !fails);
                if (fails) {
                    EXPECT_EQ(r.load(device.readings), 4242);
                } else {
                    EXPECT_NEAR(r.load(device.readings), r.expected, r.tolerance);
                }
            }
        }
        device.Close();
        sim.Stop();
    }
}

// A switch is never sent twice, so it does not go out while a reply is owed: a status request goes
// first (its reply is shorter than the missed one's layout, so it is taken at once), and the
// switch's own reply is then taken.
TEST_F(TesterDeviceTest, SwitchAfterAMissedReplyIsAnsweredByItsOwnReply)
{
    StartSim({"--on", "--steady", "--pad", "4", "--drop-once", "12"});
    EXPECT_FALSE(Timed([&] { return device.ReadSlewAndSequence(); }));
    auto start = Clock::now();
    EXPECT_EQ(device.SetPower(false), kPowerResultOk);
    EXPECT_LT(Clock::now() - start, 2 * kRequestBound);
    ASSERT_TRUE(Timed([&] { return device.ReadStatus(); }));
    EXPECT_EQ(LoadByte(device.readings.powerStatus) & 0x03, kPowerStatusOff);
    EXPECT_EQ(ReadLogLines(logPath), (std::vector<std::string>{"12", "0b", "20 00", "0b"}));
}

TEST_F(TesterDeviceTest, GarbageBeforeRepliesIsSkipped)
{
    StartSim({"--on", "--steady", "--garbage"});
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(Timed([&] { return device.ReadVoltages(); }));
        ExpectSteadyVoltages(device.readings);
        ASSERT_TRUE(Timed([&] { return device.ReadCurrentMinMax(); }));
    }
    uint8_t first = 0, second = 0;
    EXPECT_TRUE(device.Identify(first, second));
}

// A voltages reply with a wrong end byte, or one that announces more than a frame may carry, fails
// only that request; the link stays in step for the next.
TEST_F(TesterDeviceTest, BrokenVoltagesReplyFailsOnlyThatRequest)
{
    for (const char* fault : {"--bad-end=0c", "--huge-length=0c"}) {
        SCOPED_TRACE(fault);
        StartSim({"--on", "--steady", fault});
        for (int cycle = 0; cycle < 3; ++cycle) {
            SCOPED_TRACE(cycle);
            FillReadings(device.readings, 4242);
            EXPECT_FALSE(Timed([&] { return device.ReadVoltages(); }));
            EXPECT_EQ(LoadWord(device.readings.voltage[0]), 4242);
            EXPECT_TRUE(Timed([&] { return device.ReadCurrents(); }));
            ExpectSteadyCurrents(device.readings);
        }
        device.Close();
        sim.Stop();
    }
}

TEST_F(TesterDeviceTest, BrokenRepliesEverywhereFailEveryRequest)
{
    for (const char* fault : {"--bad-end", "--huge-length"}) {
        SCOPED_TRACE(fault);
        StartSim({"--on", fault});
        FillReadings(device.readings, 4242);
        uint8_t first = 0, second = 0;
        EXPECT_FALSE(Timed([&] { return device.Identify(first, second); }));
        EXPECT_FALSE(Timed([&] { return device.ReadVoltages(); }));
        EXPECT_FALSE(Timed([&] { return device.ReadCurrentMinMax(); }));
        EXPECT_FALSE(Timed([&] { return device.ReadSettings(); }));
        EXPECT_EQ(Timed([&] { return device.SetPower(false); }), 1);
        EXPECT_EQ(LoadWord(device.readings.voltage[0]), 4242);
        EXPECT_EQ(LoadByte(device.readings.deviceSettings[0]), 0x77);
        device.Close();
        sim.Stop();
    }
}

}  // namespace
