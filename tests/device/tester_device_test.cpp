// TesterDevice over a real pseudo-terminal against the simulated tester: every request, the
// power switch and its refusals, settings, and every fault the simulator can put on the line.
// Each fault must end in a failure of its own request, never a hang or a wrongly decoded reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/tester_device.h"
#include "tests/device/device_test_support.h"
#include "tests/device/sim_process.h"

namespace {

// The simulator's steady readings (--steady), by tester channel, and the step of each channel's
// converter: a decoded value lies within one step of what the tester measured.
constexpr int32_t kSteadyMillivolts[7] = {12060, 5040, 3340, 12050, 5030, 12040, -11920};
constexpr int32_t kVoltageStep[7] = {4, 2, 2, 4, 2, 4, 5};
constexpr int32_t kSteadyMilliamps[10] = {9000, 7000, 5000, 6000, 800, 4000, 0, 1500, 1200, 600};
constexpr int32_t kCurrentStep[10] = {14, 14, 14, 14, 3, 14, 0, 1, 1, 1};

void ExpectSteadyVoltagesAndCurrents(const DeviceReadings& r)
{
    for (int c = 0; c < 7; ++c)
        EXPECT_NEAR(LoadWord(r.voltage[c]), kSteadyMillivolts[c], kVoltageStep[c]) << "channel " << c;
    for (int c = 7; c < 10; ++c) EXPECT_EQ(LoadWord(r.voltage[c]), LoadWord(r.voltage[c - 7])) << "channel " << c;
    for (int c = 0; c < 10; ++c)
        EXPECT_NEAR(LoadWord(r.current[c]), kSteadyMilliamps[c], kCurrentStep[c]) << "channel " << c;
}

class TesterDeviceTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }
    void Stop()
    {
        device.Close();
        sim.Stop();
    }
    void StartSim(std::vector<std::string> args)
    {
        Stop();
        logPath = MakeTempPath("ombrelo-device-log");
        args.insert(args.end(), {"--log", logPath});
        ASSERT_TRUE(sim.Start(args));
        ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u);
    }
    int32_t Word(const std::atomic<int32_t>& word) const { return LoadWord(word); }

    SimProcess sim;
    TesterDevice device;
    DeviceReadings& r = device.readings;
    std::string logPath;
};

// ---- Requests -------------------------------------------------------------------------------

TEST_F(TesterDeviceTest, EveryRequestDecodesTheTestersReadings)
{
    StartSim({"--on", "--steady"});
    uint8_t first = 0, second = 0;
    ASSERT_TRUE(device.Identify(first, second));
    EXPECT_EQ(first * 256 + second, 0x020B);

    ASSERT_TRUE(device.ReadStatus());
    // On, voltages PASS, timings PASS.
    EXPECT_EQ(LoadByte(r.powerStatus), kPowerStatusOn | kPowerStatusVoltagesPass);
    // The sum of volts times amperes over the loaded channels: about 311 W.
    EXPECT_NEAR(Word(r.totalPower), 311146, 1500);
    ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ReadCurrents());
    ExpectSteadyVoltagesAndCurrents(r);
    ASSERT_TRUE(device.ReadVoltageMinMax());
    ASSERT_TRUE(device.ReadCurrentMinMax());
    for (int c = 0; c < 10; ++c) {
        if (c < 7) {
            EXPECT_TRUE(Word(r.voltageMin[c]) == Word(r.voltage[c]) && Word(r.voltageMax[c]) == Word(r.voltage[c])) << c;
        }
        EXPECT_TRUE(Word(r.currentMin[c]) == Word(r.current[c]) && Word(r.currentMax[c]) == Word(r.current[c])) << c;
    }
    ASSERT_TRUE(device.ReadRipple());
    const int32_t ripple[6] = {22, 14, 11, 24, 12, 23};
    for (int c = 0; c < 6; ++c) EXPECT_EQ(Word(r.ripple[c]), ripple[c]);
    ASSERT_TRUE(device.ReadTimings());
    StoreWord(r.voltageSequence[2], 77);
    StoreWord(r.timeSequence[2], 77);
    ASSERT_TRUE(device.ReadSlewAndSequence());
    const int32_t slew[4] = {12060 / 8, 5040 / 9, 3340 / 10, 12050 / 11};
    for (int c = 0; c < 4; ++c) {
        const int32_t timing[4] = {150 + 10 * c, 8 + c, 250, 15 + c};
        for (int k = 0; k < 4; ++k) EXPECT_EQ(Word(r.timing[c][k]), timing[k]) << c << " " << k;
        EXPECT_EQ(Word(r.slewRate[c]), slew[c]);
        EXPECT_EQ(Word(r.turnOnSlope[c]), 0);
        // 3.3V is never written.
        EXPECT_EQ(Word(r.voltageSequence[c]), c == 2 ? 77 : 0);
        EXPECT_EQ(Word(r.timeSequence[c]), c == 2 ? 77 : 0);
    }
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingCpu12vCable]), 1);
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingBuzzerMode]), 2);
    EXPECT_EQ(ReadLogLines(logPath), (std::vector<std::string>{"0a", "0b", "0c", "0d", "0e", "0f", "10", "11", "12", "40"}));
}

TEST_F(TesterDeviceTest, SettingsGoOutAsTheyAreAndComeBack)
{
    StartSim({});
    ASSERT_TRUE(device.ReadSettings());
    StoreByte(r.deviceSettings[kSettingCpu12vCable], 0);
    StoreByte(r.deviceSettings[kSettingPcie12vCable], 1);
    StoreByte(r.deviceSettings[kSettingComplianceMode], 1);
    StoreByte(r.deviceSettings[kSettingBuzzerMode], 0);
    const std::vector<int32_t> written = SnapshotReadings(r);
    ASSERT_TRUE(device.WriteSettings());
    for (auto& byte : r.deviceSettings) StoreByte(byte, 0xEE);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(SnapshotReadings(r), written);
    EXPECT_EQ(ReadLogLines(logPath),
              (std::vector<std::string>{"40", "41 01 00 32 00 64 00 05 0a 00 00 00 00 00 00 00 01 01 00", "40"}));
}

TEST_F(TesterDeviceTest, ResetMinMaxEmptiesTheTestersExtremes)
{
    StartSim({"--on"});
    ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ResetMinMax());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(Word(r.voltageMin[c]), kNotAvailable);
        EXPECT_EQ(Word(r.voltageMax[c]), kNotAvailable);
    }
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    for (int c = 0; c < 7; ++c) {
        EXPECT_NEAR(Word(r.voltageMin[c]), kSteadyMillivolts[c], 60);
        EXPECT_LE(Word(r.voltageMin[c]), Word(r.voltage[c]));
        EXPECT_GE(Word(r.voltageMax[c]), Word(r.voltage[c]));
    }
    EXPECT_EQ(ReadLogLines(logPath)[1], "21");
}

TEST_F(TesterDeviceTest, PowerSwitchAndWhatDependsOnIt)
{
    StartSim({"--steady", "--cooling", "300"});
    // Before the first switch-on nothing has been timed.
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(r.powerStatus) & 0x03, kPowerStatusOff);
    EXPECT_EQ(LoadByte(r.powerStatus) >> kPowerStatusTimingsShift, 2);
    ASSERT_TRUE(device.ReadTimings());
    ASSERT_TRUE(device.ReadSlewAndSequence());
    for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 4; ++k) EXPECT_EQ(Word(r.timing[c][k]), kNotAvailable);
        EXPECT_EQ(Word(r.slewRate[c]), kNotAvailable);
        EXPECT_EQ(Word(r.turnOnSlope[c]), kNotAvailable);
    }
    ASSERT_TRUE(device.ReadVoltages());
    EXPECT_EQ(Word(r.voltage[0]), 0);
    EXPECT_NEAR(Word(r.voltage[4]), 5030, 2) << "standby stays on";

    EXPECT_EQ(device.SetPower(true), 0);
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(r.powerStatus) & 0x03, kPowerStatusOn);
    ASSERT_TRUE(device.ReadTimings());
    EXPECT_EQ(Word(r.timing[0][0]), 150);

    EXPECT_EQ(device.SetPower(false), 0);
    EXPECT_EQ(device.SetPower(true), 2) << "still cooling down";
    ASSERT_TRUE(device.ReadTimings());
    EXPECT_EQ(Word(r.timing[1][2]), kNotAvailable);
    // Refused until the tester has cooled down.
    int result = 2;
    for (int i = 0; i < 100 && result == 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        result = device.SetPower(true);
    }
    EXPECT_EQ(result, 0);
    std::vector<std::string> log = ReadLogLines(logPath);
    ASSERT_GE(log.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(log.begin() + 4, log.begin() + 10),
              (std::vector<std::string>{"20 01", "0b", "11", "20 00", "20 01", "11"}));
    EXPECT_EQ(log.back(), "20 01");
}

// One request to a tester started with the given options, and what it must answer.
TEST_F(TesterDeviceTest, RefusedSwitchesAndTheIdentity)
{
    const struct {
        std::vector<std::string> args;
        std::function<int(TesterDevice&, uint8_t&, uint8_t&)> ask;
        int result;
        int version;  // what Identify leaves in first * 256 + second
    } kCases[] = {
        {{"--refuse-on"}, [](TesterDevice& d, uint8_t&, uint8_t&) { return d.SetPower(true); }, 2, 0xABCD},
        {{"--on", "--refuse-off"}, [](TesterDevice& d, uint8_t&, uint8_t&) { return d.SetPower(false); }, 1, 0xABCD},
        // The letters are checked; the version is passed on as it is.
        {{"--identity", "PSX"}, [](TesterDevice& d, uint8_t& a, uint8_t& b) { return int{d.Identify(a, b)}; }, 0, 0xABCD},
        {{"--firmware", "1.10"}, [](TesterDevice& d, uint8_t& a, uint8_t& b) { return int{d.Identify(a, b)}; }, 1, 0x010A},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args[0]);
        StartSim(c.args);
        uint8_t first = 0xAB, second = 0xCD;
        EXPECT_EQ(c.ask(device, first, second), c.result);
        EXPECT_EQ(first * 256 + second, c.version);
    }
}

TEST_F(TesterDeviceTest, ReopeningStartsAFreshPort)
{
    StartSim({"--on", "--steady"});
    ASSERT_TRUE(device.ReadVoltages());
    device.Close();
    EXPECT_FALSE(device.ReadVoltages()) << "a closed port sends nothing";
    ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u);
    ASSERT_TRUE(device.ReadCurrents());
    ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u) << "open without close";
    EXPECT_EQ(device.LastOpenError(), 0);
    ASSERT_TRUE(device.ReadVoltages());
    ExpectSteadyVoltagesAndCurrents(r);

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
            int64_t sum = LoadByte(r.powerStatus);
            for (const auto& w : r.voltage) sum += LoadWord(w);
            for (const auto& w : r.currentMax) sum += LoadWord(w);
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
    EXPECT_NEAR(Word(r.voltage[0]), kSteadyMillivolts[0], 60);
}

// ---- Faults ---------------------------------------------------------------------------------

// A tester that never answers, or whose every reply is broken: every request fails and leaves the
// readings alone. Every request still goes out; the ones that change the tester each behind a
// status request that tries to settle the replies owed.
TEST_F(TesterDeviceTest, SilentOrBrokenTesterFailsEveryRequest)
{
    for (const char* fault : {"--silent", "--bad-end", "--huge-length"}) {
        SCOPED_TRACE(fault);
        StartSim({"--on", fault});
        FillReadings(r, 4242);
        const std::vector<int32_t> untouched = SnapshotReadings(r);
        uint8_t first = 9, second = 9;
        EXPECT_FALSE(device.Identify(first, second));
        EXPECT_EQ(first + second, 18);
        for (Request request : kRequests) EXPECT_FALSE((device.*request)());
        EXPECT_EQ(device.SetPower(true), 1);
        EXPECT_EQ(device.SetPower(false), 1);
        EXPECT_EQ(SnapshotReadings(r), untouched);
        std::vector<std::string> log = ReadLogLines(logPath);
        ASSERT_EQ(log.size(), 18u);
        for (size_t i : {10u, 12u, 14u, 16u}) EXPECT_EQ(log[i], "0b") << i;
        EXPECT_EQ(log[17], "20 00");
    }
}

// The poll cycle's requests in the worker's order, each with one decoded value it must produce from
// the simulator's steady readings, or leave alone when it fails.
struct CycleRequest {
    const char* name;
    Request request;
    int slot;  // in SnapshotReadings
    int32_t expected;
    int32_t tolerance;
};

const CycleRequest kCycle[] = {
    {"status", &TesterDevice::ReadStatus, kTotal, 311146, 1500},
    {"voltages", &TesterDevice::ReadVoltages, kV + 0, 12060, 4},
    {"ripple", &TesterDevice::ReadRipple, kRip + 5, 23, 0},
    {"currents", &TesterDevice::ReadCurrents, kC + 1, 7000, 14},
    {"timings", &TesterDevice::ReadTimings, kTim + 15, 18, 0},
    {"slew", &TesterDevice::ReadSlewAndSequence, kSlew + 1, 5040 / 9, 0},
    {"voltage min/max", &TesterDevice::ReadVoltageMinMax, kVMax + 6, -11920, 5},
    {"current min/max", &TesterDevice::ReadCurrentMinMax, kCMin + 9, 600, 1},
};

bool Contains(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Replies longer than their layouts (a newer firmware) are decoded from the same positions; a
// missed, late, unanswered or broken reply fails its own request only, is never decoded by
// another one, and the link is whole again by the next cycle.
TEST_F(TesterDeviceTest, PollCyclesRecoverFromMissedLateAndBrokenReplies)
{
    const struct {
        std::vector<std::string> args;
        // Which requests of the first cycle fail; every later cycle must be whole again, except
        // for the requests in `alwaysFailing`, and those in `racing`, which in any cycle fail or
        // take their own reply as the host's and the simulator's timing falls.
        std::vector<std::string> failingFirst, alwaysFailing, racing;
    } kFaults[] = {
        {{}, {}, {}, {}},
        {{"--pad", "9"}, {}, {}, {}},
        {{"--garbage"}, {}, {}, {}},
        {{"--pad", "9", "--drop-once", "0c"}, {"voltages"}, {}, {}},
        {{"--pad", "5", "--drop-once", "0f"}, {"current min/max"}, {}, {}},
        {{"--pad", "3", "--drop-once", "10", "--drop-once", "0d"}, {"ripple", "currents"}, {}, {}},
        // 150 ms late, past the host's time-out: in the timings request's window, right before
        // the timings reply.
        {{"--pad", "9", "--late", "0d"}, {"currents"}, {}, {"currents"}},
        {{"--ignore", "0b"}, {"status"}, {"status"}, {}},
        {{"--bad-end=0c"}, {"voltages"}, {"voltages"}, {}},
        {{"--huge-length=0c"}, {"voltages"}, {"voltages"}, {}},
    };
    for (const auto& fault : kFaults) {
        std::vector<std::string> args = {"--on", "--steady"};
        std::string name;
        for (const std::string& arg : fault.args) name += arg + " ";
        args.insert(args.end(), fault.args.begin(), fault.args.end());
        StartSim(args);
        for (int cycle = 0; cycle < 3; ++cycle) {
            for (const CycleRequest& q : kCycle) {
                SCOPED_TRACE(testing::Message() << name << "cycle " << cycle << ", " << q.name);
                FillReadings(r, 4242);
                bool fails = Contains(fault.alwaysFailing, q.name) || (cycle == 0 && Contains(fault.failingFirst, q.name));
                bool answered = (device.*q.request)();
                if (Contains(fault.racing, q.name))
                    fails = !answered;
                EXPECT_EQ(answered, !fails);
                EXPECT_NEAR(SnapshotReadings(r)[q.slot], fails ? 4242 : q.expected, fails ? 0 : q.tolerance);
            }
        }
    }
}

// A switch is never sent twice, so it does not go out while a reply is owed: a status request goes
// first (its reply is shorter than the missed one's layout, so it is taken at once), and the
// switch's own reply is then taken.
TEST_F(TesterDeviceTest, SwitchAfterAMissedReplyIsAnsweredByItsOwnReply)
{
    StartSim({"--on", "--steady", "--pad", "4", "--drop-once", "12"});
    EXPECT_FALSE(device.ReadSlewAndSequence());
    EXPECT_EQ(device.SetPower(false), kPowerResultOk);
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(r.powerStatus) & 0x03, kPowerStatusOff);
    EXPECT_EQ(ReadLogLines(logPath), (std::vector<std::string>{"12", "0b", "20 00", "0b"}));
}

}  // namespace
