// TesterDevice over a real pseudo-terminal against the simulated tester: every request, the
// power switch and its refusals, settings, and every fault the simulator can put on the line.
// Each fault must end in a failure of its own request, never a hang or a wrongly decoded reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "device/tester_device.h"
#include "sim/simulated_tester.h"
#include "tests/device/device_test_support.h"
#include "tests/device/sim_process.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int32_t kMarker = 4242;

// The poll cycle's requests in the worker's order, each with one value the simulator's steady
// readings decode to, within a step of the channel's converter.
const struct CycleRequest {
    const char* name;
    Request request;
    uint8_t command;
    int slot;  // in SnapshotReadings
    int32_t expected, tolerance;
} kCycle[] = {
    {"status", &TesterDevice::ReadStatus, kCommandStatus, kTotal, 311146, 1500},
    {"voltages", &TesterDevice::ReadVoltages, kCommandVoltages, kV + 0, 12060, 4},
    {"ripple", &TesterDevice::ReadRipple, kCommandRipple, kRip + 5, 23, 0},
    {"currents", &TesterDevice::ReadCurrents, kCommandCurrents, kC + 1, 7000, 14},
    {"timings", &TesterDevice::ReadTimings, kCommandTimings, kTim + 15, 18, 0},
    {"slew", &TesterDevice::ReadSlewAndSequence, kCommandSlewAndSequence, kSlew + 1, 5040 / 9, 0},
    {"voltage min/max", &TesterDevice::ReadVoltageMinMax, kCommandVoltageMinMax, kVMax + 6, -11920, 5},
    {"current min/max", &TesterDevice::ReadCurrentMinMax, kCommandCurrentMinMax, kCMin + 9, 600, 1},
};

// Every field after the steady tester's reply to `command` is decoded into readings full of
// kMarker, the reply as the simulator's own code encodes it. Asked in cycle order: the extremes
// follow what was measured.
std::vector<int32_t> SteadyReadings(uint8_t command)
{
    static std::map<uint8_t, std::vector<int32_t>> replies;
    TesterOptions options;
    options.steady = options.startOn = true;
    SimulatedTester tester(options);
    for (const CycleRequest& q : kCycle) {
        static uint8_t data[kMaxReplyData];
        DeviceReadings readings;
        FillReadings(readings, kMarker);
        EXPECT_TRUE(DecodeReply(q.command, data, static_cast<uint32_t>(tester.Answer(q.command, nullptr, 0, 0, data)), readings));
        replies.try_emplace(q.command, SnapshotReadings(readings));
    }
    return replies.at(command);
}

class TesterDeviceTest : public ::testing::Test {
protected:
    void StartSim(std::vector<std::string> args)
    {
        device.Close();
        logPath = MakeTempPath("ombrelo-device-log");
        args.insert(args.end(), {"--log", logPath});
        ASSERT_TRUE(sim.Start(args));
        ASSERT_EQ(device.Open(sim.WideDevicePath().c_str()), 0u);
    }
    // A poll cycle request on readings full of kMarker: answered with the steady tester's
    // readings, or failed with the readings left alone. A racing request may do either.
    void ExpectCycleRequest(const CycleRequest& q, bool answers, bool racing = false)
    {
        FillReadings(r, kMarker);
        const std::vector<int32_t> untouched = SnapshotReadings(r);
        bool answered = (device.*q.request)();
        EXPECT_EQ(answered, racing ? answered : answers) << q.name;
        std::vector<int32_t> values = SnapshotReadings(r);
        EXPECT_NEAR(values[q.slot], answered ? q.expected : kMarker, answered ? q.tolerance : 0) << q.name;
        EXPECT_EQ(values, answered ? SteadyReadings(q.command) : untouched) << q.name;
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
    for (const CycleRequest& q : kCycle) ExpectCycleRequest(q, true);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingCpu12vCable]), 1);
    EXPECT_EQ(LoadByte(r.deviceSettings[kSettingBuzzerMode]), 2);
    EXPECT_EQ(ReadLogLines(logPath), (Lines{"0a", "0b", "0c", "10", "0d", "11", "12", "0e", "0f", "40"}));
}

TEST_F(TesterDeviceTest, SettingsGoOutAsTheyAreAndComeBack)
{
    StartSim({});
    ASSERT_TRUE(device.ReadSettings());
    for (auto [setting, value] : {std::pair{kSettingCpu12vCable, 0}, {kSettingPcie12vCable, 1},
                                  {kSettingComplianceMode, 1}, {kSettingBuzzerMode, 0}})
        StoreByte(r.deviceSettings[setting], static_cast<uint8_t>(value));
    const std::vector<int32_t> written = SnapshotReadings(r);
    ASSERT_TRUE(device.WriteSettings());
    for (auto& byte : r.deviceSettings) StoreByte(byte, 0xEE);
    ASSERT_TRUE(device.ReadSettings());
    EXPECT_EQ(SnapshotReadings(r), written);
    EXPECT_EQ(ReadLogLines(logPath), (Lines{"40", "41 01 00 32 00 64 00 05 0a 00 00 00 00 00 00 00 01 01 00", "40"}));
}

TEST_F(TesterDeviceTest, ResetMinMaxEmptiesTheTestersExtremes)
{
    StartSim({"--on"});
    ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ResetMinMax());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    for (int c = 0; c < 7; ++c) EXPECT_TRUE(Word(r.voltageMin[c]) == kNotAvailable && Word(r.voltageMax[c]) == kNotAvailable) << c;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(device.ReadVoltages());
    ASSERT_TRUE(device.ReadVoltageMinMax());
    const int32_t kNominal[7] = {12060, 5040, 3340, 12050, 5030, 12040, -11920};
    for (int c = 0; c < 7; ++c) {
        EXPECT_NEAR(Word(r.voltageMin[c]), kNominal[c], 60);
        EXPECT_TRUE(Word(r.voltageMin[c]) <= Word(r.voltage[c]) && Word(r.voltageMax[c]) >= Word(r.voltage[c])) << c;
    }
    EXPECT_EQ(ReadLogLines(logPath)[1], "21");
}

TEST_F(TesterDeviceTest, PowerSwitchAndWhatDependsOnIt)
{
    StartSim({"--steady", "--cooling", "300"});
    // Before the first switch-on nothing has been timed.
    ASSERT_TRUE(device.ReadStatus());
    EXPECT_EQ(LoadByte(r.powerStatus), kPowerStatusOff | 2 << kPowerStatusTimingsShift);
    ASSERT_TRUE(device.ReadTimings());
    ASSERT_TRUE(device.ReadSlewAndSequence());
    std::vector<int32_t> values = SnapshotReadings(r);
    EXPECT_EQ(std::vector<int32_t>(values.begin() + kTim, values.begin() + kVSeq), std::vector<int32_t>(24, kNotAvailable));
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
    Lines log = ReadLogLines(logPath);
    ASSERT_GE(log.size(), 11u);
    EXPECT_EQ(Lines(log.begin() + 4, log.begin() + 10), (Lines{"20 01", "0b", "11", "20 00", "20 01", "11"}));
    EXPECT_EQ(log.back(), "20 01");
}

// One request to a tester started with the given options, and what it must answer.
TEST_F(TesterDeviceTest, RefusedSwitchesAndTheIdentity)
{
    enum Ask { kOn, kOff, kIdentify };
    const struct {
        Lines args;
        Ask ask;
        int result;
        int version;  // what Identify leaves in first * 256 + second
    } kCases[] = {
        {{"--refuse-on"}, kOn, 2, 0xABCD},
        {{"--on", "--refuse-off"}, kOff, 1, 0xABCD},
        // The letters are checked; the version is passed on as it is.
        {{"--identity", "PSX"}, kIdentify, 0, 0xABCD},
        {{"--firmware", "1.10"}, kIdentify, 1, 0x010A},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args[0]);
        StartSim(c.args);
        uint8_t first = 0xAB, second = 0xCD;
        EXPECT_EQ(c.ask == kIdentify ? int{device.Identify(first, second)} : device.SetPower(c.ask == kOn), c.result);
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
    ExpectCycleRequest(kCycle[1], true);

    // The port's code and error come through: a second user of the port is told it is busy (even
    // as root), and the first keeps its port.
    TesterDevice other;
    EXPECT_EQ(other.Open(sim.WideDevicePath().c_str()), kSerialOpenDeviceFailed);
    EXPECT_EQ(other.LastOpenError(), EBUSY);
    EXPECT_FALSE(other.ReadVoltages()) << "a port that did not open sends nothing";
    ExpectCycleRequest(kCycle[3], true);

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
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(device.ReadStatus() && device.ReadVoltages() && device.ReadCurrentMinMax()) << i;
    stop.store(true);
    watcher.join();
    EXPECT_NE(seen.load(), 0);
    EXPECT_NEAR(Word(r.voltage[0]), 12060, 60);
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
        FillReadings(r, kMarker);
        const std::vector<int32_t> untouched = SnapshotReadings(r);
        uint8_t first = 9, second = 9;
        EXPECT_FALSE(device.Identify(first, second));
        EXPECT_EQ(first + second, 18);
        for (Request request : kRequests) EXPECT_FALSE((device.*request)());
        EXPECT_EQ(device.SetPower(true), 1);
        EXPECT_EQ(device.SetPower(false), 1);
        EXPECT_EQ(SnapshotReadings(r), untouched);
        Lines log = ReadLogLines(logPath);
        ASSERT_EQ(log.size(), 18u);
        for (size_t i : {10u, 12u, 14u, 16u}) EXPECT_EQ(log[i], "0b") << i;
        EXPECT_EQ(log[17], "20 00");
    }
}

// Replies longer than their layouts (a newer firmware) are decoded from the same positions; a
// missed, late, unanswered or broken reply fails its own request only, is never decoded by
// another one, and the link is whole again by the next cycle.
TEST_F(TesterDeviceTest, PollCyclesRecoverFromMissedLateAndBrokenReplies)
{
    const struct {
        Lines args;
        // Which requests of the first cycle fail; every later cycle must be whole again, except
        // for the requests in `alwaysFailing`, and those in `racing`, which in any cycle fail or
        // take their own reply as the host's and the simulator's timing falls.
        Lines failingFirst, alwaysFailing, racing;
    } kFaults[] = {
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
    auto has = [](const Lines& names, const char* name) { return std::find(names.begin(), names.end(), name) != names.end(); };
    for (const auto& fault : kFaults) {
        Lines args = {"--on", "--steady"};
        args.insert(args.end(), fault.args.begin(), fault.args.end());
        StartSim(args);
        for (int cycle = 0; cycle < 3; ++cycle) {
            SCOPED_TRACE(testing::Message() << fault.args[0] << " " << fault.args.back() << ", cycle " << cycle);
            for (const CycleRequest& q : kCycle) {
                bool fails = has(fault.alwaysFailing, q.name) || (cycle == 0 && has(fault.failingFirst, q.name));
                ExpectCycleRequest(q, !fails, has(fault.racing, q.name));
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
    EXPECT_EQ(ReadLogLines(logPath), (Lines{"12", "0b", "20 00", "0b"}));
}

}  // namespace
