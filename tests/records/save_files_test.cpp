// The save machinery end to end: the output folder, the remembered file name shared by Save Log
// and Save Report, folders and files with characters outside ASCII, names too long to remember,
// cancelled prompts and files that cannot be created. The prompt is the dialog-less twin, whose
// answer each case gives beforehand.
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "device/tester_device.h"
#include "records/readings_log.h"
#include "records/save_files.h"
#include "records/test_report.h"
#include "records_test_support.h"

#ifndef _WIN32
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Constant-initialised, so this copy is taken before any case changes it.
const std::wstring kInitialSaveFileName = g_saveFileName;

const std::wstring kSeparator(1, kPathSeparator);

void ResetSaveFileName()
{
    const std::wstring initial = kSeparator + L"OmbreloLog.txt";
    std::wmemcpy(g_saveFileName, initial.c_str(), initial.size() + 1);
}

// Wide paths for the file system library; on POSIX as the UTF-8 bytes the program uses.
std::filesystem::path ToFileSystemPath(const std::wstring& path)
{
#ifdef _WIN32
    return std::filesystem::path(path);
#else
    return std::filesystem::path(EncodeUtf8ForTest(path));
#endif
}

bool FileExists(const std::wstring& path)
{
    bool exists = false;
    ReadFileAt(path, &exists);
    return exists;
}

std::string ExpectedLog(const Logger* logger)
{
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return {};
    WriteReadingsLog(file, logger);
    std::string bytes = ReadBackFile(file);
    std::fclose(file);
    return bytes;
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
        s_homeUtf8 = s_base + "/\xD0\x9F\xD0\xBE\xD0\xBB\xD1\x8C\xD0\xB7\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x82\xD0\xB5\xD0\xBB\xD1\x8C-\xC3\xA9";
        ASSERT_EQ(mkdir(s_homeUtf8.c_str(), 0700), 0);
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
        for (auto it = s_made.rbegin(); it != s_made.rend(); ++it) {
            std::filesystem::remove(ToFileSystemPath(*it), ignored);
        }
        s_made.clear();
#ifndef _WIN32
        setenv("HOME", s_oldHome.c_str(), 1);
        std::filesystem::remove_all(s_base, ignored);
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
        ResetSaveFileName();
        SetNextSaveFileName(nullptr);
        PromptSaveFileName(nullptr, g_savePath, g_saveFileName + 1, kSaveFilter, L"txt", L"");  // drop any answer
        ResetSaveFileName();
        g_logger->Clear();
        wchar_t folder[kSavePathUnits];
        ASSERT_TRUE(GetOutputFolder(folder));
        output_ = folder;
    }

    void AddRows(int count)
    {
        for (int i = 0; i < count; ++i) {
            const std::wstring row = std::to_wstring(i) + std::wstring(31, L',') + L"PASS";
            LogRecord(row.c_str(), kLogInformation);
        }
    }

    // A name in the output folder.
    std::wstring InOutput(const std::wstring& name) const { return output_ + kSeparator + name; }

    // Answers the next prompt with a name or path; file is where the save will land.
    static bool AnswerNextPrompt(const std::wstring& nameOrPath, const std::wstring& file)
    {
        Made(file);
        return SetNextSaveFileName(nameOrPath.c_str());
    }

    std::wstring output_;
    inline static std::vector<std::wstring> s_made;
#ifndef _WIN32
    inline static std::string s_base;
    inline static std::string s_homeUtf8;
    inline static std::string s_oldHome;
#endif
};

TEST_F(SaveFilesTest, FirstDefaultIsOmbreloLogInTheOutputFolder)
{
    EXPECT_EQ(kInitialSaveFileName, kSeparator + L"OmbreloLog.txt");
    SaveTestReport(nullptr);  // cancelled: shows what would have been offered
    EXPECT_EQ(std::wstring(g_savePath), InOutput(L"OmbreloLog.txt"));
    EXPECT_FALSE(FileExists(g_savePath));
    SaveReadingsLog(nullptr);
    EXPECT_EQ(std::wstring(g_savePath), InOutput(L"OmbreloLog.txt"));
    EXPECT_FALSE(FileExists(g_savePath));
    EXPECT_EQ(std::wstring(g_saveFileName), kInitialSaveFileName);
}

TEST_F(SaveFilesTest, OutputFolderIsZentarixOmbreloInDocuments)
{
    const std::wstring tail = kSeparator + L"Zentarix" + kSeparator + L"Ombrelo";
    ASSERT_GT(output_.size(), tail.size());
    EXPECT_EQ(output_.substr(output_.size() - tail.size()), tail);
    EXPECT_TRUE(std::filesystem::is_directory(ToFileSystemPath(output_)));
#ifndef _WIN32
    // Both levels, and Documents itself, are made in a home that has none of them yet.
    const std::string expected = s_homeUtf8 + "/Documents/Zentarix/Ombrelo";
    struct stat info;
    ASSERT_EQ(stat(expected.c_str(), &info), 0) << expected;
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(EncodeUtf8ForTest(output_), expected);
#endif
    // Too small a buffer gets nothing rather than part of a path.
    wchar_t small[8];
    EXPECT_FALSE(GetOutputFolder(small));
    EXPECT_EQ(small[0], 0);
}

TEST_F(SaveFilesTest, SaveLogWritesThereWhateverTheFolderIsCalled)
{
    AddRows(3);
    const std::wstring folder = InOutput(L"\u041f\u0440\u043e\u0432\u0435\u0440\u043a\u0430-\u00e9");
    CreateFolder(Made(folder).c_str());
    const std::wstring path = folder + kSeparator + L"\u0436\u0443\u0440\u043d\u0430\u043b.txt";
    ASSERT_TRUE(AnswerNextPrompt(path, path));
    SaveReadingsLog(nullptr);
    EXPECT_EQ(std::wstring(g_savePath), path);
    bool exists = false;
    const std::string bytes = ReadFileAt(path, &exists);
    ASSERT_TRUE(exists);
    EXPECT_EQ(bytes, ExpectedLog(g_logger.get()));
    EXPECT_EQ(SplitCrLfLines(bytes).size(), 8u);
    // The remembered name is a UTF-16 name like any other.
    EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + L"\u0436\u0443\u0440\u043d\u0430\u043b.txt");
#ifndef _WIN32
    // On disk the names are UTF-8, whatever the process's locale.
    const std::string utf8 = s_homeUtf8 + "/Documents/Zentarix/Ombrelo/\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5"
                             "\xD1\x80\xD0\xBA\xD0\xB0-\xC3\xA9/\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB.txt";
    bool rawExists = false;
    EXPECT_EQ(ReadFileAtUtf8(utf8, &rawExists), bytes);
    EXPECT_TRUE(rawExists);
#endif
}

TEST_F(SaveFilesTest, BareNameLandsInTheOutputFolderWithTheDefaultExtension)
{
    AddRows(2);
    const std::wstring path = InOutput(L"run8.txt");
    ASSERT_TRUE(AnswerNextPrompt(L"run8", path));
    SaveReadingsLog(nullptr);
    EXPECT_EQ(std::wstring(g_savePath), path);
    EXPECT_EQ(ReadFileAt(path), ExpectedLog(g_logger.get()));
    EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + L"run8.txt");
}

TEST_F(SaveFilesTest, CancelWritesNothingAndKeepsTheName)
{
    AddRows(1);
    // The output folder may be a real documents folder: look, never delete.
    const std::wstring path = InOutput(L"OmbreloLog.txt");
    bool existed = false;
    const std::string before = ReadFileAt(path, &existed);
    SaveReadingsLog(nullptr);
    SaveTestReport(nullptr);
    bool exists = false;
    EXPECT_EQ(ReadFileAt(path, &exists), before);
    EXPECT_EQ(exists, existed);
    EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + L"OmbreloLog.txt");
    EXPECT_EQ(g_logger->GetRecordCount(), 1);
}

TEST_F(SaveFilesTest, NameChosenElsewhereIsOfferedAgainInTheOutputFolder)
{
    AddRows(2);
    const std::wstring other = InOutput(L"other");
    CreateFolder(Made(other).c_str());
    const std::wstring chosen = other + kSeparator + L"run7.txt";
    ASSERT_TRUE(AnswerNextPrompt(chosen, chosen));
    SaveReadingsLog(nullptr);
    EXPECT_TRUE(FileExists(chosen));
    EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + L"run7.txt");

    // Save Report offers it next, in the output folder rather than in "other".
    SaveTestReport(nullptr);
    EXPECT_EQ(std::wstring(g_savePath), InOutput(L"run7.txt"));

    // A name confirmed in Save Report is the next default of Save Log.
    ASSERT_TRUE(AnswerNextPrompt(L"report9.txt", InOutput(L"report9.txt")));
    SaveTestReport(nullptr);
    EXPECT_TRUE(FileExists(InOutput(L"report9.txt")));
    SaveReadingsLog(nullptr);
    EXPECT_EQ(std::wstring(g_savePath), InOutput(L"report9.txt"));
}

TEST_F(SaveFilesTest, NameLongerThanTheRememberedNameIsSavedButNotRemembered)
{
    AddRows(1);
    // 98 characters fit behind the separator.
    const std::wstring fits = std::wstring(94, L'f') + L".txt";
    ASSERT_TRUE(AnswerNextPrompt(fits, InOutput(fits)));
    SaveReadingsLog(nullptr);
    EXPECT_TRUE(FileExists(InOutput(fits)));
    EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + fits);

    for (size_t length : {99u, 150u}) {
        const std::wstring tooLong = std::wstring(length - 4, L'g') + L".txt";
        ASSERT_TRUE(AnswerNextPrompt(tooLong, InOutput(tooLong)));
        SaveReadingsLog(nullptr);
        EXPECT_TRUE(FileExists(InOutput(tooLong))) << length;
        EXPECT_EQ(std::wstring(g_saveFileName), kSeparator + fits) << length;
        EXPECT_EQ(g_saveFileName[kSaveFileNameUnits - 1], 0);
        // The next default is the remembered name, not a cut one.
        SaveReadingsLog(nullptr);
        EXPECT_EQ(std::wstring(g_savePath), InOutput(fits));
    }
}

TEST_F(SaveFilesTest, FileThatCannotBeCreatedLosesNothing)
{
    AddRows(5);
    const std::wstring missing = InOutput(L"missing") + kSeparator + L"log.txt";
    ASSERT_TRUE(SetNextSaveFileName(missing.c_str()));
    SaveReadingsLog(nullptr);
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(g_logger->GetRecordCount(), 5);

    // The next try writes every row.
    ASSERT_TRUE(AnswerNextPrompt(L"retry.txt", InOutput(L"retry.txt")));
    SaveReadingsLog(nullptr);
    const std::vector<std::string> lines = SplitCrLfLines(ReadFileAt(InOutput(L"retry.txt")));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[2], "Number of records logged: 5");

    ASSERT_TRUE(SetNextSaveFileName(missing.c_str()));
    SaveTestReport(nullptr);
    EXPECT_FALSE(FileExists(missing));
}

TEST_F(SaveFilesTest, SaveReportWritesTheReadingsOfThisMoment)
{
    CellSnapshot cells;
    cells.Set(1, L"12.05", CellState::Pass);
    cells.Set(8, L"T/O", CellState::Fail);
    std::copy(&cells.text[0][0], &cells.text[0][0] + kCellCount * kCellTextSize, &g_readingsTable.text[0][0]);
    std::copy(std::begin(cells.state), std::end(cells.state), std::begin(g_readingsTable.state));
    StoreByte(g_testerDevice.readings.powerStatus, 0x03 | 0x04);  // both power bits
    StoreWord(g_testerDevice.readings.totalPower, static_cast<int32_t>(3000000000u));

    ASSERT_TRUE(AnswerNextPrompt(L"report.txt", InOutput(L"report.txt")));
    SaveTestReport(nullptr);
    const std::string bytes = ReadFileAt(InOutput(L"report.txt"));
    EXPECT_EQ(bytes, BuildTestReport(cells.text, cells.state, 0x07, 3000000000u));
    const std::vector<std::string> lines = SplitCrLfLines(bytes);
    ASSERT_EQ(lines.size(), 34u);
    EXPECT_EQ(lines[3], "Power Status: ON");
    EXPECT_EQ(lines[4], "Total Power: 3000000.0W");
    EXPECT_EQ(lines[10].substr(30, 15), "12.05          ");
    StoreByte(g_testerDevice.readings.powerStatus, 0);
    StoreWord(g_testerDevice.readings.totalPower, 0);
}

// Both save commands say whether the whole file was written: true with the file byte for byte
// what their writers make, false when it cannot be created, when the disk refuses its bytes, or
// when the prompt is cancelled.
TEST_F(SaveFilesTest, SaveSaysWhetherTheWholeFileWasWritten)
{
    AddRows(40);
    const std::string report = BuildTestReport(g_readingsTable.text, g_readingsTable.state, 0, 0);
    struct Command {
        const char* name;
        bool (*save)(WindowHandle);
        std::string expected;
    };
    const Command commands[] = {
        {"Save Log", SaveReadingsLog, ExpectedLog(g_logger.get())},
        {"Save Report", SaveTestReport, report},
    };
    const std::wstring folder = InOutput(L"folder.txt");
    CreateFolder(Made(folder).c_str());
    struct Target {
        std::wstring path;  // empty: the prompt is cancelled
        bool written;
    };
    std::vector<Target> targets = {{InOutput(L"whole.txt"), true}, {folder, false}, {L"", false}};
#ifndef _WIN32
    // Every write to it fails for want of space; the file opens as any other.
    const std::wstring full = Made(InOutput(L"full.txt"));
    ASSERT_EQ(symlink("/dev/full", EncodeUtf8ForTest(full).c_str()), 0);
    targets.push_back({full, false});
#endif
    for (const Command& command : commands) {
        for (size_t i = 0; i < targets.size(); ++i) {
            const Target& target = targets[i];
            SCOPED_TRACE(std::string(command.name) + ", target " + std::to_string(i));
            if (!target.path.empty()) {
                ASSERT_TRUE(AnswerNextPrompt(target.path, target.path));
            }
            EXPECT_EQ(command.save(nullptr), target.written);
            if (target.written) {
                EXPECT_EQ(ReadFileAt(target.path), command.expected);
            }
        }
    }
}

TEST(SavePromptTest, AnswersLikeTheDialog)
{
    wchar_t path[kSavePathUnits];
    wchar_t title[kSaveFileTitleUnits];
    const std::wstring folder = std::wstring(L"base") + kPathSeparator + L"dir" + kPathSeparator;
    auto prompt = [&](const wchar_t* answer) {
        std::wcscpy(path, (folder + L"Default.txt").c_str());
        std::wcscpy(title, L"Default.txt");
        if (answer != nullptr) {
            EXPECT_TRUE(SetNextSaveFileName(answer));
        }
        return PromptSaveFileName(nullptr, path, title, kSaveFilter, L"txt", L"Select a log file name");
    };

    EXPECT_EQ(prompt(nullptr), 0);  // no answer given: a cancel
    EXPECT_EQ(std::wstring(path), folder + L"Default.txt");

    EXPECT_EQ(prompt(L"a.csv"), 1);
    EXPECT_EQ(std::wstring(path), folder + L"a.csv");
    EXPECT_EQ(std::wstring(title), L"a.csv");
    EXPECT_EQ(prompt(nullptr), 0);  // an answer serves once

    EXPECT_EQ(prompt(L"other/b"), 1);
    EXPECT_EQ(std::wstring(path), L"other/b.txt");
    EXPECT_EQ(std::wstring(title), L"b.txt");

    EXPECT_EQ(prompt(L"other/"), 0);  // a folder names no file
    EXPECT_FALSE(SetNextSaveFileName(L""));
    EXPECT_FALSE(SetNextSaveFileName(std::wstring(kSaveDialogPathLimit, L'x').c_str()));
    EXPECT_EQ(prompt(std::wstring(255, L'y').c_str()), 0);  // the path would pass the dialog's limit

    // The title buffer gets at most 98 characters, always terminated.
    EXPECT_EQ(prompt((std::wstring(120, L'z') + L".txt").c_str()), 1);
    EXPECT_EQ(std::wcslen(title), kSaveFileTitleUnits - 1);
    EXPECT_EQ(std::wstring(path), folder + std::wstring(120, L'z') + L".txt");
}

TEST(SaveNameTest, KeepsOnlyANameThatFits)
{
    wchar_t name[kSaveFileNameUnits];
    const std::wstring previous = kSeparator + L"previous.txt";
    std::wcscpy(name, previous.c_str());
    const std::wstring folder = std::wstring(L"x") + kPathSeparator;

    KeepChosenFileName((folder + L"chosen.txt").c_str(), name, previous.c_str());
    EXPECT_EQ(std::wstring(name), kSeparator + L"chosen.txt");

    const std::wstring longest(98, L'n');
    KeepChosenFileName((folder + longest).c_str(), name, previous.c_str());
    EXPECT_EQ(std::wstring(name), kSeparator + longest);

    KeepChosenFileName((folder + longest + L"n").c_str(), name, previous.c_str());
    EXPECT_EQ(std::wstring(name), previous);
    KeepChosenFileName(folder.c_str(), name, previous.c_str());
    EXPECT_EQ(std::wstring(name), previous);

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
