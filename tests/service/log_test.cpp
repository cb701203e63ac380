// The log writer: the exact line format, the level thresholds, a file that
// disappears or cannot be opened, and writers on several threads.
#include <gtest/gtest.h>

#include <process.h>
#include <regex>
#include <time.h>

#include "log.h"
#include "settings.h"
#include "test_support.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    std::string folder;
    std::string logPath;

    void SetUp() override
    {
        folder = MakeTestFolder(std::string("log ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        logPath = folder + "pelorin.log";
        ServiceSettingsRecord initial = {};
        initial.Loglevel = 1;
        ServiceSettings = initial;
        strcpy(ServiceSettings.LogPath, logPath.c_str());
    }
};

std::string Stamp(time_t when)
{
    char text[80];
    strftime(text, sizeof(text), "%c", localtime(&when));
    return text;
}

TEST_F(LogTest, LineIsStampMessageAndCrLf)
{
    time_t before = time(NULL);
    WriteLog(1, "ERROR stopping (%s) VM '%s' (0x%08x)", "savestate", "Web Server", 0x80BB0001u);
    time_t after = time(NULL);

    std::string text = ReadTextFile(logPath);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match,
                                 std::regex("\\[(\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d)\\] "
                                            "ERROR stopping \\(savestate\\) VM 'Web Server' \\(0x80bb0001\\)\r\n")))
        << text;
    std::string stamp = match[1];
    EXPECT_TRUE(stamp == Stamp(before) || stamp == Stamp(after)) << stamp;
}

TEST_F(LogTest, MessagesAreAppendedNeverTruncated)
{
    WriteTextFile(logPath, "earlier line\r\n");
    WriteLog(1, "first");
    WriteLog(1, "second %d", 2);
    std::string text = ReadTextFile(logPath);
    ASSERT_EQ(0u, text.find("earlier line\r\n[")) << text;
    EXPECT_NE(std::string::npos, text.find("] first\r\n["));
    EXPECT_EQ(text.size() - strlen("] second 2\r\n"), text.rfind("] second 2\r\n"));
}

TEST_F(LogTest, LevelThresholds)
{
    struct Case {
        int loglevel;
        const char *written;
    } cases[] = {
        { 0, "" }, { 1, "1" }, { 2, "12" }, { 3, "123" }, { 127, "123" }, { -1, "" }, { -128, "" },
    };
    for (const Case &c : cases) {
        DeleteFileA(logPath.c_str());
        ServiceSettings.Loglevel = (signed char)c.loglevel;
        WriteLog(1, "level 1");
        WriteLog(2, "level 2");
        WriteLog(3, "level 3");
        std::string text = ReadTextFile(logPath);
        std::string written;
        for (char level = '1'; level <= '3'; level++) {
            if (text.find(std::string("] level ") + level + "\r\n") != std::string::npos)
                written += level;
        }
        EXPECT_EQ(c.written, written) << "Loglevel " << c.loglevel;
    }
}

TEST_F(LogTest, LoglevelReadFromTheIniGovernsTheThreshold)
{
    std::string exe = folder + "pelorin.exe";
    const char *values[] = { "0", "256", "128", "200", "255" };
    for (const char *value : values) {
        WriteTextFile(folder + "pelorin.ini", std::string("[Pelorin]\r\nLoglevel=") + value + "\r\n");
        DeleteFileA(logPath.c_str());
        ServiceSettings.Loglevel = 1;
        LoadSettingsForProgram(exe.c_str(), 0);
        WriteLog(1, "should not appear");
        EXPECT_FALSE(FileExists(logPath)) << "Loglevel=" << value;
    }
}

TEST_F(LogTest, DeletedFileIsCreatedAgainWithTheNextMessage)
{
    WriteLog(1, "before");
    ASSERT_TRUE(DeleteFileA(logPath.c_str()));
    WriteLog(1, "after");
    std::string text = ReadTextFile(logPath);
    EXPECT_EQ('[', text[0]);
    EXPECT_EQ(std::string::npos, text.find("before"));
    EXPECT_NE(std::string::npos, text.find("] after\r\n"));
}

TEST_F(LogTest, UnopenableFileDropsTheMessage)
{
    // The log path names a folder: the message goes nowhere and the caller goes on.
    CreateDirectoryA(logPath.c_str(), NULL);
    WriteLog(1, "into a folder");
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(logPath.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryA(logPath.c_str());

    // Locked by another program: dropped, and the next message after the lock is written.
    HANDLE locked = CreateFileA(logPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    WriteLog(1, "while locked");
    CloseHandle(locked);
    WriteLog(1, "after the lock");
    std::string text = ReadTextFile(logPath);
    EXPECT_EQ(std::string::npos, text.find("while locked"));
    EXPECT_NE(std::string::npos, text.find("] after the lock\r\n"));

    // Before any settings were loaded there is no path at all.
    ServiceSettings.LogPath[0] = '\0';
    WriteLog(1, "no path");
}

const int WriterThreads = 6;
const int LinesPerThread = 60;

unsigned __stdcall WriteManyLines(void *argument)
{
    int writer = (int)(INT_PTR)argument;
    // Longer than the runtime's stream buffer, so each line takes several writes.
    std::string payload(6000, (char)('a' + writer));
    for (int line = 0; line < LinesPerThread; line++)
        WriteLog(1, "writer %d line %d %s", writer, line, payload.c_str());
    return 0;
}

TEST_F(LogTest, ConcurrentWritersNeverMixLines)
{
    HANDLE threads[WriterThreads];
    for (int i = 0; i < WriterThreads; i++)
        threads[i] = (HANDLE)_beginthreadex(NULL, 0, WriteManyLines, (void *)(INT_PTR)i, 0, NULL);
    WaitForMultipleObjects(WriterThreads, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);

    std::string text = ReadTextFile(logPath);
    std::regex headForm("\\[\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\] writer (\\d) line (\\d+) ");
    int seen[WriterThreads][LinesPerThread] = {};
    size_t start = 0;
    int lines = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(std::string::npos, end) << "unterminated line at " << start;
        std::string line = text.substr(start, end - start);
        ASSERT_GT(line.size(), 6000u) << "short line " << lines << ": " << line.substr(0, 80);
        std::string head = line.substr(0, line.size() - 6000);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(head, match, headForm)) << "mixed line " << lines << ": " << head.substr(0, 80);
        int writer = std::stoi(match[1]);
        ASSERT_EQ(std::string(6000, (char)('a' + writer)), line.substr(line.size() - 6000)) << "line " << lines;
        seen[writer][std::stoi(match[2])]++;
        lines++;
        start = end + 2;
    }
    EXPECT_EQ(WriterThreads * LinesPerThread, lines);
    for (int w = 0; w < WriterThreads; w++) {
        for (int l = 0; l < LinesPerThread; l++)
            EXPECT_EQ(1, seen[w][l]) << "writer " << w << " line " << l;
    }
}

} // namespace
