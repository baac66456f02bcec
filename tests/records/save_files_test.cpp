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

bool FileExists(const std::wstring& path)
{
    bool exists = false;
    ReadFileAt(path, &exists);
    return exists;
}

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
        s_homeUtf8 = s_base + "/" + EncodeUtf8ForTest(L"\u041f\u043e\u043b\u044c\u0437\u043e\u0432\u0430\u0442\u0435\u043b\u044c-\u00e9");
        ASSERT_TRUE(std::filesystem::create_directory(s_homeUtf8));
        const char* oldHome = std::getenv("HOME");
        s_oldHome = oldHome != nullptr ? oldHome : "";
        setenv("HOME", s_homeUtf8.c_str(), 1);
#endif
        UseUtcLocalTime();
        CreateApplicationLogger();
        wchar_t folder[kSavePathUnits];
        if (GetOutputFolder(folder)) {
            const std::wstring output = folder;
            Made(output.substr(0, output.rfind(kPathSeparator)));
            Made(output);
        }
    }

    static void TearDownTestSuite()
    {
        DestroyApplicationLogger();
        std::error_code ignored;
        // Under Wine the documents folder is a real home folder: take away exactly what the
        // cases made, and the folders only when nothing else is in them.
        for (auto it = s_made.rbegin(); it != s_made.rend(); ++it) std::filesystem::remove(FileSystemPath(*it), ignored);
        s_made.clear();
#ifndef _WIN32
        setenv("HOME", s_oldHome.c_str(), 1);
        std::filesystem::remove_all(s_base, ignored);
#endif
    }

    // Wide paths for the file system library; on POSIX as the UTF-8 bytes the program uses.
    static std::filesystem::path FileSystemPath(const std::wstring& path)
    {
#ifdef _WIN32
        return std::filesystem::path(path);
#else
        return std::filesystem::path(EncodeUtf8ForTest(path));
#endif
    }

    // A file or folder a case makes (folders after the files in them).
    static const std::wstring& Made(const std::wstring& path)
    {
        s_made.push_back(path);
        return path;
    }

    void SetUp() override
    {
        SetNextSaveFileName(nullptr);
        PromptSaveFileName(nullptr, g_savePath, g_saveFileName + 1, kSaveFilter, L"txt", L"");  // drop any answer
        const std::wstring initial = kSeparator + L"OmbreloLog.txt";
        std::wmemcpy(g_saveFileName, initial.c_str(), initial.size() + 1);
        g_logger->Clear();
        wchar_t folder[kSavePathUnits];
        ASSERT_TRUE(GetOutputFolder(folder));
        output_ = folder;
    }

    static void AddRows(int count)
    {
        for (int i = 0; i < count; ++i) LogRecord((std::to_wstring(i) + std::wstring(31, L',') + L"PASS").c_str(), kLogInformation);
    }

    // A name in the output folder.
    std::wstring InOutput(const std::wstring& name) const { return output_ + kSeparator + name; }

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
    static std::wstring Remembered() { return g_saveFileName; }
    static std::wstring Offered() { return g_savePath; }

    std::wstring output_;
    inline static std::vector<std::wstring> s_made;
#ifndef _WIN32
    inline static std::string s_base, s_homeUtf8, s_oldHome;
#endif
};

TEST_F(SaveFilesTest, OutputFolderIsZentarixOmbreloInDocuments)
{
    const std::wstring tail = kSeparator + L"Zentarix" + kSeparator + L"Ombrelo";
    EXPECT_EQ(output_.substr(output_.size() - std::min(output_.size(), tail.size())), tail);
    // Both levels, and Documents itself, are made (on POSIX in a home that has none of them yet).
    EXPECT_TRUE(std::filesystem::is_directory(FileSystemPath(output_)));
#ifndef _WIN32
    EXPECT_EQ(EncodeUtf8ForTest(output_), s_homeUtf8 + "/Documents/Zentarix/Ombrelo");
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
    const std::string before = ReadFileAt(InOutput(L"OmbreloLog.txt"), &existed);
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
        EXPECT_EQ(Offered(), s.answer.empty() ? InOutput(s.remembered) : s.file);
        EXPECT_TRUE(s.answer.empty() || FileExists(s.file));
        EXPECT_EQ(Remembered(), kSeparator + s.remembered);
        EXPECT_EQ(g_saveFileName[kSaveFileNameUnits - 1], 0);
        for (SaveCommand next : {SaveReadingsLog, SaveTestReport}) {
            EXPECT_FALSE(next(nullptr));
            EXPECT_EQ(Offered(), InOutput(s.remembered));
        }
    }
    EXPECT_EQ(ReadFileAt(InOutput(L"OmbreloLog.txt"), &exists), before);
    EXPECT_EQ(exists, existed);
    EXPECT_EQ(g_logger->GetRecordCount(), 3);
    const std::string log = ReadFileAt(cyrillic + kSeparator + journal);
    EXPECT_EQ(log, ExpectedLog());
    EXPECT_EQ(SplitCrLfLines(log).size(), 8u);
#ifndef _WIN32
    // On disk the names are UTF-8, whatever the process's locale.
    const std::string utf8 = s_homeUtf8 + "/Documents/Zentarix/Ombrelo/\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5"
                             "\xD1\x80\xD0\xBA\xD0\xB0-\xC3\xA9/\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB.txt";
    EXPECT_EQ(ReadFileBytes(utf8, &exists), log);
    EXPECT_TRUE(exists);
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
    const std::wstring folder = InOutput(L"folder.txt");
    CreateFolder(Made(folder).c_str());
    std::vector<std::pair<std::wstring, bool>> targets = {{InOutput(L"whole.txt"), true},
                                                          {InOutput(L"missing") + kSeparator + L"log.txt", false},
                                                          {folder, false}, {L"", false}, {InOutput(L"again.txt"), true}};
#ifndef _WIN32
    // Every write to it fails for want of space; the file opens as any other.
    const std::wstring full = Made(InOutput(L"full.txt"));
    ASSERT_EQ(symlink("/dev/full", EncodeUtf8ForTest(full).c_str()), 0);
    targets.insert(targets.begin() + 1, {full, false});
#endif
    for (const auto& [command, expected] : {std::pair<SaveCommand, std::string>{SaveReadingsLog, ExpectedLog()},
                                            {SaveTestReport, report}}) {
        for (const auto& [path, written] : targets) {
            SCOPED_TRACE(std::string(command == SaveReadingsLog ? "Save Log to " : "Save Report to ") +
                         EncodeUtf8ForTest(path));
            EXPECT_EQ(Save(command, path, path), written);
            if (written) {
                EXPECT_EQ(ReadFileAt(path), expected);
            }
            if (path.find(L"missing") != std::wstring::npos) {
                EXPECT_FALSE(FileExists(path));
            }
            EXPECT_EQ(g_logger->GetRecordCount(), 40);
        }
    }
    StoreByte(g_testerDevice.readings.powerStatus, 0);
    StoreWord(g_testerDevice.readings.totalPower, 0);
    CellSnapshot().Publish();
}

TEST(SavePromptTest, AnswersLikeTheDialog)
{
    wchar_t path[kSavePathUnits];
    wchar_t title[kSaveFileTitleUnits];
    const std::wstring folder = std::wstring(L"base") + kPathSeparator + L"dir" + kPathSeparator;
    const std::wstring longName = std::wstring(120, L'z') + L".txt";
    const struct {
        std::wstring answer;  // empty: none given
        int result;
        std::wstring path;  // empty: as offered
        std::wstring title;
    } kCases[] = {
        {L"", 0, L"", L"Default.txt"},  // no answer given: a cancel
        {L"a.csv", 1, folder + L"a.csv", L"a.csv"},
        {L"", 0, L"", L"Default.txt"},  // an answer serves once
        {L"other/b", 1, L"other/b.txt", L"b.txt"},
        {L"other/", 0, L"", L"Default.txt"},  // a folder names no file
        {std::wstring(255, L'y'), 0, L"", L"Default.txt"},  // the path would pass the dialog's limit
        // The title buffer gets at most 98 characters, always terminated.
        {longName, 1, folder + longName, std::wstring(kSaveFileTitleUnits - 1, L'z')},
    };
    for (const auto& c : kCases) {
        std::wcscpy(path, (folder + L"Default.txt").c_str());
        std::wcscpy(title, L"Default.txt");
        if (!c.answer.empty()) {
            EXPECT_TRUE(SetNextSaveFileName(c.answer.c_str()));
        }
        EXPECT_EQ(PromptSaveFileName(nullptr, path, title, kSaveFilter, L"txt", L"Select a log file name"), c.result);
        EXPECT_EQ(std::wstring(path), c.path.empty() ? folder + L"Default.txt" : c.path);
        if (c.result == 1) {
            EXPECT_EQ(std::wstring(title), c.title);
        }
    }
    EXPECT_FALSE(SetNextSaveFileName(L""));
    EXPECT_FALSE(SetNextSaveFileName(std::wstring(kSaveDialogPathLimit, L'x').c_str()));
}

TEST(SaveNameTest, KeepsOnlyANameThatFits)
{
    wchar_t name[kSaveFileNameUnits];
    const std::wstring previous = kSeparator + L"previous.txt";
    std::wcscpy(name, previous.c_str());
    const std::wstring folder = std::wstring(L"x") + kPathSeparator;
    const std::wstring longest(98, L'n');
    for (const auto& [chosen, kept] : {std::pair<std::wstring, std::wstring>{folder + L"chosen.txt", kSeparator + L"chosen.txt"},
                                       {folder + longest, kSeparator + longest},
                                       {folder + longest + L"n", previous}, {folder, previous}}) {
        KeepChosenFileName(chosen.c_str(), name, previous.c_str());
        EXPECT_EQ(std::wstring(name), kept) << chosen.size();
    }
    EXPECT_EQ(std::wstring(FindFileNamePart(L"a/b/c.txt")), L"c.txt");
#ifdef _WIN32
    EXPECT_EQ(std::wstring(FindFileNamePart(L"C:\\a\\b.txt")), L"b.txt");
#endif
    wchar_t small[6] = L"ab";
    EXPECT_TRUE(AppendText(small, 6, L"cde"));
    EXPECT_FALSE(AppendText(small, 6, L"f"));
    EXPECT_EQ(std::wstring(small), L"abcde");
}

}  // namespace
