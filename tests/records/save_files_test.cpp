// The save machinery end to end: the output folder, the remembered file name shared by Save Log
// and Save Report, folders and files with characters outside ASCII, names too long to remember,
// cancelled prompts and files that cannot be created or written. The prompt is the dialog-less
// twin, whose answer each case gives beforehand.
#include <filesystem>

#include "device/tester_device.h"
#include "records/save_files.h"
#include "records/test_report.h"
#include "records_test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// Constant-initialised, so this copy is taken before any case changes it.
const std::wstring kInitialSaveFileName = g_saveFileName;
const std::wstring kSeparator(1, kPathSeparator);
using SaveCommand = bool (*)(WindowHandle);

std::string ExpectedLog()
{
    return WriteToTemporaryFile([](std::FILE* file) { WriteReadingsLog(file, g_logger.get()); });
}

class SaveFilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
#ifndef _WIN32
        // A home folder with Cyrillic and accented letters in its name.
        char base[] = "/tmp/ombrelo-records-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        s_base = base;
        s_home = s_base + "/" + EncodeUtf8ForTest(L"\u041f\u043e\u043b\u044c\u0437\u043e\u0432\u0430\u0442\u0435\u043b\u044c-\u00e9");
        ASSERT_TRUE(std::filesystem::create_directory(s_home));
        s_oldHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
        setenv("HOME", s_home.c_str(), 1);
#endif
        UseUtcLocalTime();
        CreateApplicationLogger();
        wchar_t folder[kSavePathUnits];
        if (GetOutputFolder(folder)) {
            s_output = folder;
            s_made = {s_output.substr(0, s_output.rfind(kPathSeparator)), s_output};
        }
    }

    static void TearDownTestSuite()
    {
        DestroyApplicationLogger();
        std::error_code ignored;
        // Under Wine the documents folder is a real home folder: take away exactly what the
        // cases made, and the folders only when nothing else is in them.
        for (auto it = s_made.rbegin(); it != s_made.rend(); ++it) std::filesystem::remove(FsPath(*it), ignored);
        s_made.clear();
#ifndef _WIN32
        setenv("HOME", s_oldHome.c_str(), 1);
        std::filesystem::remove_all(s_base, ignored);
#endif
    }

    // A file or folder a case makes (folders before the files in them).
    static const std::wstring& Made(const std::wstring& path) { return s_made.emplace_back(path); }

    void SetUp() override
    {
        PromptSaveFileName(nullptr, g_savePath, g_saveFileName + 1, kSaveFilter, L"txt", L"");  // drop any answer
        std::wcscpy(g_saveFileName, (kSeparator + L"OmbreloLog.txt").c_str());
        g_logger->Clear();
    }

    static void AddRows(int count)
    {
        for (int i = 0; i < count; ++i) LogRecord((std::to_wstring(i) + std::wstring(31, L',') + L"PASS").c_str(), kLogInformation);
    }

    // A name in the output folder.
    static std::wstring InOutput(const std::wstring& name) { return s_output + kSeparator + name; }

    // Runs a save command with the prompt answered by a name or path (empty: cancelled); file is
    // where the save will land.
    static bool Save(SaveCommand command, const std::wstring& answer, const std::wstring& file)
    {
        if (!answer.empty()) {
            Made(file);
            EXPECT_TRUE(SetNextSaveFileName(answer.c_str())) << EncodeUtf8ForTest(answer);
        }
        return command(nullptr);
    }

    inline static std::wstring s_output;  // empty when there is none
    inline static std::vector<std::wstring> s_made;
#ifndef _WIN32
    inline static std::string s_base, s_home, s_oldHome;
#endif
};

TEST_F(SaveFilesTest, OutputFolderIsZentarixOmbreloInDocuments)
{
    EXPECT_TRUE(s_output.ends_with(kSeparator + L"Zentarix" + kSeparator + L"Ombrelo")) << EncodeUtf8ForTest(s_output);
    // Both levels, and Documents itself, are made (on POSIX in a home that has none of them yet).
    EXPECT_TRUE(std::filesystem::is_directory(FsPath(s_output)));
#ifndef _WIN32
    EXPECT_EQ(EncodeUtf8ForTest(s_output), s_home + "/Documents/Zentarix/Ombrelo");
#endif
    for (size_t units : {8, 1}) {  // too small a buffer gets nothing rather than part of a path
        wchar_t small[8] = L"x";
        EXPECT_FALSE(GetOutputFolder(small, units));
        EXPECT_EQ(small[0], 0) << units;
    }
}

// The name confirmed last, by either command and in any folder, is the next default of both, in
// the output folder; the first is OmbreloLog.txt. A bare name gets the default extension; folders
// and names outside ASCII are UTF-16 like any other; a name too long to remember is saved to but
// leaves the remembered name as it was; a cancel writes nothing and keeps the name.
TEST_F(SaveFilesTest, TheLastNameThatFitsIsOfferedAgainInTheOutputFolder)
{
    EXPECT_EQ(kInitialSaveFileName, kSeparator + L"OmbreloLog.txt");
    AddRows(3);
    // The output folder may be a real documents folder: look, never delete.
    bool existed = false, exists = false;
    const std::string before = ReadFileBytes(FsPath(InOutput(L"OmbreloLog.txt")), &existed);
    const std::wstring other = InOutput(L"other"), cyrillic = InOutput(L"\u041f\u0440\u043e\u0432\u0435\u0440\u043a\u0430-\u00e9");
    CreateFolder(Made(other).c_str());
    CreateFolder(Made(cyrillic).c_str());
    const std::wstring journal = L"\u0436\u0443\u0440\u043d\u0430\u043b.txt", fits = std::wstring(94, L'f') + L".txt";
    const struct {
        SaveCommand command;
        std::wstring answer;  // empty: cancelled
        std::wstring file;
        std::wstring remembered;
    } kSteps[] = {
        {SaveTestReport, L"", L"", L"OmbreloLog.txt"},
        {SaveReadingsLog, cyrillic + kSeparator + journal, cyrillic + kSeparator + journal, journal},
        {SaveReadingsLog, L"run8", InOutput(L"run8.txt"), L"run8.txt"},
        {SaveReadingsLog, other + kSeparator + L"run7.txt", other + kSeparator + L"run7.txt", L"run7.txt"},
        {SaveTestReport, L"report9.txt", InOutput(L"report9.txt"), L"report9.txt"},
        {SaveReadingsLog, fits, InOutput(fits), fits},  // 98 units fit behind the separator
        {SaveReadingsLog, std::wstring(95, L'g') + L".txt", InOutput(std::wstring(95, L'g') + L".txt"), fits},
        {SaveTestReport, std::wstring(146, L'h') + L".txt", InOutput(std::wstring(146, L'h') + L".txt"), fits},
        {SaveReadingsLog, L"", L"", fits},
    };
    for (size_t step = 0; step < std::size(kSteps); ++step) {
        const auto& s = kSteps[step];
        SCOPED_TRACE("step " + std::to_string(step));
        EXPECT_EQ(Save(s.command, s.answer, s.file), !s.answer.empty());
        EXPECT_EQ(g_savePath, s.answer.empty() ? InOutput(s.remembered) : s.file);
        EXPECT_TRUE(s.answer.empty() || std::filesystem::exists(FsPath(s.file)));
        EXPECT_EQ(g_saveFileName, kSeparator + s.remembered);
        EXPECT_EQ(g_saveFileName[kSaveFileNameUnits - 1], 0);
        for (SaveCommand next : {SaveReadingsLog, SaveTestReport}) {
            EXPECT_FALSE(next(nullptr));
            EXPECT_EQ(g_savePath, InOutput(s.remembered));
        }
    }
    EXPECT_EQ(ReadFileBytes(FsPath(InOutput(L"OmbreloLog.txt")), &exists), before);
    EXPECT_EQ(exists, existed);
    EXPECT_EQ(g_logger->GetRecordCount(), 3);
    const std::string log = ReadFileBytes(FsPath(cyrillic + kSeparator + journal));
    EXPECT_EQ(log, ExpectedLog());
    EXPECT_EQ(SplitCrLfLines(log).size(), 8u);
#ifndef _WIN32
    // On disk the names are UTF-8, whatever the process's locale.
    EXPECT_EQ(ReadFileBytes(s_home + "/Documents/Zentarix/Ombrelo/\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xBA\xD0\xB0-\xC3\xA9/"
                                     "\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB.txt"), log);
#endif
}

// Both save commands say whether the whole file was written: true with the file byte for byte
// what their writers make of this moment's log and readings (the tester's power status and total
// power included), false when it cannot be created (a missing folder, a folder in its place),
// when the disk refuses its bytes, or when the prompt is cancelled; a failed save loses no rows,
// and the next one writes them all.
TEST_F(SaveFilesTest, SaveSaysWhetherTheWholeFileWasWritten)
{
    AddRows(40);
    CellSnapshot cells;
    cells.Set(1, L"12.05", CellState::Pass).Set(8, L"T/O", CellState::Fail).Publish();
    StoreByte(g_testerDevice.readings.powerStatus, 0x03 | 0x04);  // both power bits
    StoreWord(g_testerDevice.readings.totalPower, static_cast<int32_t>(3000000000u));
    const std::string report = BuildTestReport(cells.text, cells.state, 0x07, 3000000000u);
    const std::wstring folder = InOutput(L"folder.txt"), missing = InOutput(L"missing") + kSeparator + L"log.txt";
    CreateFolder(Made(folder).c_str());
    std::vector<std::pair<std::wstring, bool>> targets = {
        {InOutput(L"whole.txt"), true}, {missing, false}, {folder, false}, {L"", false}, {InOutput(L"again.txt"), true}};
#ifndef _WIN32
    // Every write to it fails for want of space; the file opens as any other.
    const std::wstring full = Made(InOutput(L"full.txt"));
    ASSERT_EQ(symlink("/dev/full", EncodeUtf8ForTest(full).c_str()), 0);
    targets.insert(targets.begin() + 1, {full, false});
#endif
    for (const auto& [command, expected] : {std::pair<SaveCommand, std::string>{SaveReadingsLog, ExpectedLog()},
                                            {SaveTestReport, report}}) {
        for (const auto& [path, written] : targets) {
            SCOPED_TRACE((command == SaveReadingsLog ? "Save Log to " : "Save Report to ") + EncodeUtf8ForTest(path));
            EXPECT_EQ(Save(command, path, path), written);
            EXPECT_EQ(written ? ReadFileBytes(FsPath(path)) : expected, expected);
            EXPECT_EQ(g_logger->GetRecordCount(), 40);
        }
        EXPECT_FALSE(std::filesystem::exists(FsPath(missing)));
    }
    StoreByte(g_testerDevice.readings.powerStatus, 0);
    StoreWord(g_testerDevice.readings.totalPower, 0);
    CellSnapshot().Publish();
}

// The dialog-less prompt answers as the dialog does: once per answer, a bare name in the default
// path's folder with the default extension added, nothing for a folder or a path past the
// dialog's 260 units (terminator included), and at most 98 characters of title, always terminated.
TEST(SavePromptTest, AnswersLikeTheDialog)
{
    wchar_t path[kSavePathUnits], title[kSaveFileTitleUnits];
    const std::wstring folder = std::wstring(L"base") + kPathSeparator + L"dir" + kPathSeparator;
    const std::wstring longName = std::wstring(120, L'z') + L".txt", longest = std::wstring(246, L'y') + L".txt";
    const struct {
        std::wstring answer;  // empty: none given
        std::wstring path;    // empty: a cancel, the path as offered
        std::wstring title;
    } kCases[] = {
        {L"", L"", L""},  // no answer given
        {L"a.csv", folder + L"a.csv", L"a.csv"},
        {L"", L"", L""},  // an answer serves once
        {L"other/b", L"other/b.txt", L"b.txt"},
        {L"other/", L"", L""},
        {longest, folder + longest, std::wstring(kSaveFileTitleUnits - 1, L'y')},  // 259 units
        {L"y" + longest, L"", L""},
        {std::wstring(247, L'y'), L"", L""},  // fits, but not with the extension
        {longName, folder + longName, std::wstring(kSaveFileTitleUnits - 1, L'z')},
    };
    for (const auto& c : kCases) {
        std::wcscpy(path, (folder + L"Default.txt").c_str());
        std::wcscpy(title, L"Default.txt");
        EXPECT_TRUE(c.answer.empty() || SetNextSaveFileName(c.answer.c_str()));
        EXPECT_EQ(PromptSaveFileName(nullptr, path, title, kSaveFilter, L"txt", L"Select a log file name"), !c.path.empty())
            << c.answer.size();
        EXPECT_EQ(path, c.path.empty() ? folder + L"Default.txt" : c.path);
        EXPECT_EQ(title, c.path.empty() ? L"Default.txt" : c.title);
    }
    EXPECT_FALSE(SetNextSaveFileName(L""));
    EXPECT_FALSE(SetNextSaveFileName(std::wstring(kSaveDialogPathLimit, L'x').c_str()));
}

// The name behind the last separator replaces a longer one whole; a folder leaves the previous name.
TEST(SaveNameTest, KeepsTheChosenNameOrThePreviousOneForAFolder)
{
    wchar_t previous[kSaveFileNameUnits] = L"?previous.txt", name[kSaveFileNameUnits];
    for (const auto& [chosen, kept] : {std::pair<std::wstring, std::wstring>{L"a.txt", kSeparator + L"a.txt"}, {L"", previous}}) {
        std::wcscpy(name, previous);
        KeepChosenFileName((L"x" + kSeparator + chosen).c_str(), name, previous);
        EXPECT_EQ(name, kept);
    }
}

}  // namespace
