// Unit tests of the console's test-run decisions and JSON lines: number and string formatting,
// the verdict and the failing cells' names, the device-access message, and whole cycle lines
// read back by a small strict JSON reader.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <string>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "measurement/cell_text.h"
#include "tools/console_json.h"
#include "tools/console_test_run.h"

namespace {

// A strict reader of one JSON text (RFC 8259): true when text is exactly one valid value.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s(text) {}
    bool ReadDocument()
    {
        SkipBlanks();
        if (!ReadValue(0))
            return false;
        SkipBlanks();
        return pos == s.size();
    }

private:
    void SkipBlanks()
    {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r'))
            ++pos;
    }
    bool Take(char c)
    {
        SkipBlanks();
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool ReadLiteral(const char* word)
    {
        std::string w(word);
        if (s.compare(pos, w.size(), w) != 0)
            return false;
        pos += w.size();
        return true;
    }
    bool IsDigit(size_t at) const { return at < s.size() && s[at] >= '0' && s[at] <= '9'; }
    bool ReadNumber()
    {
        if (pos < s.size() && s[pos] == '-')
            ++pos;
        if (!IsDigit(pos))
            return false;
        if (s[pos] == '0')
            ++pos;
        else
            while (IsDigit(pos)) ++pos;
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            if (!IsDigit(pos))
                return false;
            while (IsDigit(pos)) ++pos;
        }
        if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
            ++pos;
            if (pos < s.size() && (s[pos] == '+' || s[pos] == '-'))
                ++pos;
            if (!IsDigit(pos))
                return false;
            while (IsDigit(pos)) ++pos;
        }
        return true;
    }
    bool ReadString()
    {
        if (pos >= s.size() || s[pos] != '"')
            return false;
        for (++pos; pos < s.size(); ++pos) {
            unsigned char c = static_cast<unsigned char>(s[pos]);
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++pos >= s.size())
                    return false;
                char e = s[pos];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i)
                        if (++pos >= s.size() || !isxdigit(static_cast<unsigned char>(s[pos])))
                            return false;
                } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                    return false;
                }
            }
        }
        return false;
    }
    bool ReadValue(int depth)
    {
        if (depth > 32)
            return false;
        SkipBlanks();
        if (pos >= s.size())
            return false;
        char c = s[pos];
        if (c == '{') {
            ++pos;
            if (Take('}'))
                return true;
            do {
                SkipBlanks();
                if (!ReadString() || !Take(':') || !ReadValue(depth + 1))
                    return false;
            } while (Take(','));
            return Take('}');
        }
        if (c == '[') {
            ++pos;
            if (Take(']'))
                return true;
            do {
                if (!ReadValue(depth + 1))
                    return false;
            } while (Take(','));
            return Take(']');
        }
        if (c == '"')
            return ReadString();
        if (c == 't')
            return ReadLiteral("true");
        if (c == 'f')
            return ReadLiteral("false");
        if (c == 'n')
            return ReadLiteral("null");
        return ReadNumber();
    }

    const std::string& s;
    size_t pos = 0;
};

bool IsStrictJson(const std::string& text) { return JsonReader(text).ReadDocument(); }

TEST(ConsoleJson, StrictReaderRejectsWhatJsonForbids)
{
    // The reader is the judge of the lines below; it must not wave through these.
    for (const char* bad : {"{\"a\":1,}", "{\"a\":01}", "{\"a\":1.}", "{\"a\":nan}", "{\"a\":\"x\ty\"}",
                            "{\"a\":12,5}", "[1 2]", "{\"a\":1}x"})
        EXPECT_FALSE(IsStrictJson(bad)) << bad;
    EXPECT_TRUE(IsStrictJson("{\"a\":[1,-0.5,2e3,null,true,\"\\u0001\"]}"));
}

TEST(ConsoleJson, StringsAreEscaped)
{
    struct Case {
        std::string in;
        const char* out;
    };
    const Case cases[] = {
        {"Volt.", "\"Volt.\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\b", "\"a\\\\b\""},
        {"Not allowed\nCooling", "\"Not allowed\\nCooling\""},
        {"\r\t", "\"\\r\\t\""},
        {std::string("x\x01y", 3), "\"x\\u0001y\""},
        {std::string("\x1f", 1), "\"\\u001f\""},
    };
    for (const Case& c : cases) {
        std::string out;
        AppendJsonString(out, c.in);
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(IsStrictJson(out)) << out;
    }
}

TEST(ConsoleJson, MilliUnitsBecomeExactDecimalsInAnyLocale)
{
    // A locale with a decimal comma, where one is installed, must not reach the numbers.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (std::setlocale(LC_ALL, name))
            break;
    struct Case {
        int64_t milli;
        const char* out;
    };
    const Case cases[] = {
        {12060, "12.06"},   {-11920, "-11.92"},  {0, "0"},          {5, "0.005"},
        {22, "0.022"},      {-100000, "-100"},   {1000, "1"},       {299127, "299.127"},
        {4294967295LL, "4294967.295"},           {-1, "-0.001"},
    };
    for (const Case& c : cases) {
        std::string out;
        AppendJsonMilliUnits(out, c.milli);
        EXPECT_EQ(out, c.out) << c.milli;
    }
    std::string special;
    AppendJsonNumber(special, 0.0 / 0.0);
    EXPECT_EQ(special, "null");
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(ConsoleJson, TimeIsUtcWithMilliseconds)
{
    struct Case {
        int64_t ms;
        const char* out;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1796562376123LL, "2026-12-06T13:06:16.123Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {951782400000LL, "2000-02-29T00:00:00.000Z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatJsonTime(c.ms), c.out) << c.ms;
}

TEST(ConsoleTestRun, CellsAreNamedAsTheGridNamesThem)
{
    EXPECT_EQ(NameCell(CellIndex(RailId::Rail5V, ReadingColumn::Volt)), "5V Volt.");
    EXPECT_EQ(NameCell(CellIndex(RailId::Rail12VCpu, ReadingColumn::MinVolt)), "12V CPU Min Volt.");
    EXPECT_EQ(NameCell(CellIndex(RailId::Rail12V1, ReadingColumn::T6)), "12V1 T6");
    EXPECT_EQ(NameCell(CellIndex(RailId::Rail3V3Sata, ReadingColumn::TSeq)), "3.3V SATA T Seq.");
    EXPECT_EQ(NameCell(CellIndex(RailId::Rail12VPcie, ReadingColumn::MaxCurrent)), "12V PCIe Max Current");
}

struct VerdictCase {
    const char* name;
    uint8_t powerStatus;
    int failingCell;  // -1: none
    bool pass;
    const char* described;
};

TEST(ConsoleTestRun, VerdictNeedsCellsAndBothTesterVerdicts)
{
    const int volt5V = CellIndex(RailId::Rail5V, ReadingColumn::Volt);
    const int ripple = CellIndex(RailId::Rail12V1, ReadingColumn::Ripple);
    // Bits: 0 on, 1 off, 2 voltages pass, 3-4 timings (0 pass, 1 fail, 2-3 N/A).
    const VerdictCase cases[] = {
        {"all pass", 0x05, -1, true, "PASS"},
        {"timings N/A", 0x05 | (2 << 3), -1, true, "PASS"},
        {"timings code 3 is N/A", 0x05 | (3 << 3), -1, true, "PASS"},
        {"timings FAIL", 0x05 | (1 << 3), -1, false, "FAIL: tester timings"},
        {"voltages verdict FAIL", 0x01, -1, false, "FAIL: tester voltages"},
        {"one Volt. cell", 0x05, volt5V, false, "FAIL: 5V Volt."},
        {"a ripple cell counts too", 0x05, ripple, false, "FAIL: 12V1 Ripple"},
        {"cell and tester", 0x01 | (1 << 3), volt5V, false, "FAIL: 5V Volt., tester voltages, tester timings"},
    };
    for (const VerdictCase& c : cases) {
        CellStateArray states;
        for (CellState& s : states)
            s = CellState::Pass;
        states[CellIndex(RailId::RailMinus12V, ReadingColumn::Power)] = CellState::NotAvailable;
        if (c.failingCell >= 0)
            states[c.failingCell] = CellState::Fail;
        TestVerdict verdict = JudgeTestRun(states, c.powerStatus);
        EXPECT_EQ(verdict.pass, c.pass) << c.name;
        EXPECT_EQ(DescribeTestVerdict(verdict), c.described) << c.name;
        EXPECT_EQ(verdict.failingCells.size(), c.failingCell >= 0 ? 1u : 0u) << c.name;
    }
}

TEST(ConsoleTestRun, FailingCellsAreListedInGridOrder)
{
    CellStateArray states;
    for (CellState& s : states)
        s = CellState::NotAvailable;
    states[CellIndex(RailId::Rail3V3Sata, ReadingColumn::Current)] = CellState::Fail;
    states[CellIndex(RailId::Rail12V1, ReadingColumn::MaxVolt)] = CellState::Fail;
    TestVerdict verdict = JudgeTestRun(states, 0x05);
    EXPECT_EQ(DescribeTestVerdict(verdict), "FAIL: 12V1 Max Volt., 3.3V SATA Current");
}

TEST(ConsoleTestRun, DeviceMessageNamesWhoMayOpenIt)
{
    DeviceOwnership dialout{true, "root", "dialout", 0660};
    DeviceOwnership other{true, "alice", "uucp", 0600};
    struct Case {
        int error;
        const DeviceOwnership& owner;
        const char* mustContain;
    };
    const Case cases[] = {
        {EACCES, dialout, "permission denied. It belongs to the group \"dialout\": join it (sudo usermod -aG dialout"},
        {EPERM, other, "permission denied. It belongs to the user \"alice\" and the group \"uucp\" (crw-------). "
                       "The udev rule udev/70-ombrelo-tester.rules"},
        {EACCES, DeviceOwnership{}, "permission denied (see the README"},
        {ENOENT, other, "no such device"},
        {EBUSY, other, "busy"},
        {ENOTTY, other, "not a serial device"},
        {0, other, "Device not found!"},
    };
    for (const Case& c : cases) {
        std::string message = DescribeDeviceOpenFailure("/dev/ttyACM0", c.error, c.owner);
        EXPECT_NE(message.find("/dev/ttyACM0"), std::string::npos) << message;
        EXPECT_NE(message.find(c.mustContain), std::string::npos) << message;
        EXPECT_EQ(message.find("dialout") != std::string::npos, &c.owner == &dialout) << message;
    }
}

TEST(ConsoleFiles, BareNamesGoToTheCurrentFolderAndNothingIsReplacedUnasked)
{
    struct NameCase {
        const char* name;
        const char* path;
    };
    const NameCase names[] = {
        {"run7.txt", "/home/a/run7.txt"}, {"./run7.txt", "/home/a/run7.txt"}, {"logs/run7.txt", "/home/a/logs/run7.txt"},
        {"/tmp/run7.txt", "/tmp/run7.txt"},
    };
    for (const NameCase& c : names)
        EXPECT_EQ(ResolveOutputPath(c.name, "/home/a"), c.path) << c.name;
    EXPECT_EQ(ResolveOutputPath("run7.txt", "/"), "/run7.txt");
    EXPECT_EQ(AddTextExtension("run7"), "run7.txt");
    EXPECT_EQ(AddTextExtension("a.b/run7"), "a.b/run7.txt");
    EXPECT_EQ(AddTextExtension("run7.log"), "run7.log");
    EXPECT_NE(std::string(kDefaultLogName), kDefaultReportName);

    char folder[] = "/tmp/ombrelo-files-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string base = folder;
    std::FILE* file = std::fopen((base + "/old.txt").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    struct CheckCase {
        std::string path;
        bool replace;
        std::string problem;  // "" when it may be written
        bool exists;
    };
    const CheckCase checks[] = {
        {base + "/new.txt", false, "", false},
        {base + "/old.txt", false, " exists", true},
        {base + "/old.txt", true, "", true},
        {base, true, " is a folder", false},
        {base + "/none/new.txt", false, "the folder " + std::string(folder) + "/none does not exist", false},
        {base + "/", false, "no file name", false},
    };
    for (const CheckCase& c : checks) {
        bool exists = !c.exists;
        std::string problem = CheckOutputPath(c.path, c.replace, exists);
        EXPECT_EQ(problem.empty(), c.problem.empty()) << c.path << ": " << problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.path << ": " << problem;
        EXPECT_EQ(exists, c.exists) << c.path;
    }
    std::remove((base + "/old.txt").c_str());
    rmdir(folder);
}

TEST(ConsoleTestRun, AccessCheckTellsMissingFromForbidden)
{
    EXPECT_EQ(CheckDeviceAccess("/nonexistent/ttyACM9"), ENOENT);
    EXPECT_EQ(CheckDeviceAccess(""), ENOENT);
    char path[] = "/tmp/ombrelo-access-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(CheckDeviceAccess(path), 0);
    chmod(path, 0400);
    if (geteuid() != 0) {
        EXPECT_EQ(CheckDeviceAccess(path), EACCES);
    } else {
        // root may open anything: the refusal is checked as the user nobody.
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool unprivileged = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
            _exit(!unprivileged ? 2 : CheckDeviceAccess(path) == EACCES ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    unlink(path);
}

// A table as one poll cycle leaves it, for the cycle line.
class CycleLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        table.ClearValues();
        auto set = [&](RailId rail, ReadingColumn column, int32_t value) {
            StoreWord(table.value[CellIndex(rail, column)], value);
        };
        // Nominal voltages, 1 A and 1 W everywhere: all within the power-on limits.
        const int32_t nominal[kRailCount] = {12060, 5040, 3340, 12050, -11920, 5030, 12040, 12060, 5040, 3340};
        for (int rail = 0; rail < kRailCount; ++rail)
            for (int column = 0; column <= static_cast<int>(ReadingColumn::Power); ++column)
                set(static_cast<RailId>(rail), static_cast<ReadingColumn>(column),
                    column <= static_cast<int>(ReadingColumn::MaxVolt) ? nominal[rail] : 1000);
        set(RailId::Rail12V1, ReadingColumn::Current, 9000);
        set(RailId::Rail12V1, ReadingColumn::Ripple, 22);
        set(RailId::Rail12V1, ReadingColumn::T1, 150);
        set(RailId::Rail12V1, ReadingColumn::T6, kTimedOut);
        set(RailId::Rail12V1, ReadingColumn::SlewRate, 1507);
        set(RailId::Rail12V1, ReadingColumn::TurnOnSlope, 1);
        FormatDisplayedCellTexts(table);
        table.Evaluate(0x05, true, true);
    }
    std::string Build(const JsonLinkStats* link = nullptr)
    {
        JsonCycleInput input;
        input.link = link;
        input.cycle = 7;
        input.timeMs = 1796562376123LL;
        input.table = &table;
        input.powerStatus = 0x05;
        input.totalPowerMw = 299127;
        input.cpu12vConnected = true;
        return BuildCycleJson(input);
    }
    ReadingsTable table;
};

TEST_F(CycleLine, IsOneStrictJsonObjectWithTheDocumentedFields)
{
    std::string line = Build();
    EXPECT_TRUE(IsStrictJson(line)) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
    for (const char* field :
         {"{\"type\":\"cycle\",\"cycle\":7,\"time\":\"2026-12-06T13:06:16.123Z\",\"power\":\"ON\",\"powerStatus\":5,"
          "\"totalPower\":299.127,\"cables\":{\"cpu12v\":true,\"pcie12v\":false},"
          "\"tester\":{\"voltages\":\"PASS\",\"timings\":\"PASS\"},\"rails\":[{\"rail\":\"12V1\",",
          "\"volt\":{\"value\":12.06,\"text\":\"12.06\",\"state\":\"PASS\"}",
          "\"current\":{\"value\":9,\"text\":\"9.00\",\"state\":\"PASS\"}",
          "\"ripple\":{\"value\":0.022,\"text\":\"22.00\",\"state\":\"PASS\"}",
          "\"t1\":{\"value\":150,\"text\":\"150\",\"state\":\"PASS\"}",
          // A timed-out timing has no number; its text says so and it fails.
          "\"t6\":{\"value\":null,\"text\":\"T/O\",\"state\":\"FAIL\"}",
          "\"slewRate\":{\"value\":1.507,",
          "\"turnOnSlope\":{\"value\":1,\"text\":\"FAIL\",\"state\":\"FAIL\"}",
          "\"t2\":{\"value\":null,\"text\":\"\",\"state\":\"N/A\"}",
          "{\"rail\":\"-12V\",\"minVolt\":",
          "\"volt\":{\"value\":-11.92,\"text\":\"-11.92\",\"state\":\"PASS\"}",
          // The grid's fixed cells show "N/A" on grey whatever their value: no value.
          "\"current\":{\"value\":null,\"text\":\"N/A\",\"state\":\"N/A\"}",
          "\"verdict\":\"FAIL\",\"failing\":[\"12V1 T6\",\"12V1 Turn-on Slope\"]}"})
        EXPECT_NE(line.find(field), std::string::npos) << field << "\n in " << line;
}

TEST_F(CycleLine, CarriesTheGridsCellsAndNoOthers)
{
    std::string line = Build();
    int cells = 0;
    for (size_t at = line.find("\"state\":"); at != std::string::npos; at = line.find("\"state\":", at + 1))
        ++cells;
    EXPECT_EQ(cells, 112);  // the 112 cells of the two grids
    size_t rail5VSB = line.find("{\"rail\":\"5VSB\"");
    ASSERT_NE(rail5VSB, std::string::npos);
    EXPECT_EQ(line.find("\"t1\"", rail5VSB), std::string::npos) << "timings belong to the four main rails";
}

TEST_F(CycleLine, CarriesTheRequestAccountOnlyWhenItBelongsToTheCycle)
{
    EXPECT_EQ(Build().find("\"link\""), std::string::npos);
    JsonLinkStats link;
    link.requests = 9;
    link.failedRequests = 1;
    link.longestReadMs = 104;
    link.longestOtherMs = 3;
    link.steadyMs = 86400123;
    std::string line = Build(&link);
    EXPECT_TRUE(IsStrictJson(line)) << line;
    EXPECT_NE(line.find("}],\"link\":{\"requests\":9,\"failed\":1,\"longestReadMs\":104,\"longestOtherMs\":3,"
                        "\"steadyMs\":86400123},\"verdict\":"),
              std::string::npos)
        << line;
}

TEST(ConsoleJson, SummaryCarriesVerdictOrError)
{
    CellStateArray states;
    for (CellState& s : states)
        s = CellState::Pass;
    states[CellIndex(RailId::Rail5V, ReadingColumn::Volt)] = CellState::Fail;
    TestVerdict verdict = JudgeTestRun(states, 0x05);
    std::string fail = BuildSummaryJson(0, 4, verdict, 0x05, kExitTestFail, "");
    EXPECT_TRUE(IsStrictJson(fail)) << fail;
    EXPECT_EQ(fail, "{\"type\":\"summary\",\"time\":\"1970-01-01T00:00:00.000Z\",\"cycles\":4,\"verdict\":\"FAIL\","
                    "\"exitCode\":7,\"tester\":{\"voltages\":\"PASS\",\"timings\":\"PASS\"},"
                    "\"failing\":[\"5V Volt.\"]}");
    std::string error = BuildSummaryJson(0, 2, verdict, 0x05, kExitConnectionEnded, "Connection lost");
    EXPECT_TRUE(IsStrictJson(error)) << error;
    EXPECT_NE(error.find("\"verdict\":\"ERROR\",\"exitCode\":1,\"error\":\"Connection lost\",\"failing\":[]"),
              std::string::npos)
        << error;
}

}  // namespace
