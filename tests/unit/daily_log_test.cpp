// The daily log: file name, time stamp, line ends, the end-of-file mark, and lost lines on failure.

#include "site/daily_log.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <vector>

namespace telva {
namespace {

using platform::LocalDateTime;

TEST(LogFileName, EightDigitDateWithoutSeparators) {
    EXPECT_EQ(LogFileName({2024, 3, 5, 14, 7, 9, 0}), "log_20240305.txt");
    EXPECT_EQ(LogFileName({2026, 12, 31, 0, 0, 0, 0}), "log_20261231.txt");
}

TEST(LogTimeStamp, DayMonthYearThenTimeWithTheRegionalSeparators) {
    const LocalDateTime t{2024, 3, 5, 14, 7, 9, 999};
    EXPECT_EQ(LogTimeStamp(t, "/", ":"), "05/03/2024 14:07:09");
    EXPECT_EQ(LogTimeStamp(t, ".", ":"), "05.03.2024 14:07:09");
    EXPECT_EQ(LogTimeStamp(t, "-/", ".x"), "05-03-2024 14.07.09"); // first character only
    EXPECT_EQ(LogTimeStamp(t, "", ""), "05/03/2024 14:07:09");     // none given: the usual ones
    EXPECT_EQ(LogTimeStamp({2024, 1, 2, 0, 0, 0, 0}, "/", ":"), "02/01/2024 00:00:00");
}

class DailyLogFile : public ::testing::Test {
protected:
    void Log(std::string_view message) { DailyLog(dir_.dir(), clock_).Write(message); }
    std::string Content() { return dir_.Read("log_20240305.txt"); }

    test::TempDir dir_;
    test::FakeClock clock_{LocalDateTime{2024, 3, 5, 14, 7, 9, 45}};
};

TEST_F(DailyLogFile, AppendsStampedLinesEndedByCrLf) {
    Log("Printer count 12");
    Log("");
    Log("two\nlines");
    EXPECT_EQ(Content(), "05/03/2024 14:07:09 Printer count 12\r\n"
                         "05/03/2024 14:07:09 \r\n"
                         "05/03/2024 14:07:09 two\nlines\r\n");
}

TEST_F(DailyLogFile, EndOfFileMarkInTheLast128BytesCutsTheFile) {
    dir_.Write("log_20240305.txt", "old line\r\n\x1A garbage after the mark");
    Log("next");
    EXPECT_EQ(Content(), "old line\r\n05/03/2024 14:07:09 next\r\n");
}

TEST_F(DailyLogFile, EndOfFileMarkBeforeTheLast128BytesStays) {
    const std::string early = "a\x1A" + std::string(200, 'b');
    dir_.Write("log_20240305.txt", early);
    Log("next");
    EXPECT_EQ(Content(), early + "05/03/2024 14:07:09 next\r\n");
}

TEST_F(DailyLogFile, NameFromTheFirstClockReadingStampFromTheSecond) {
    clock_.QueueReading({2024, 3, 5, 23, 59, 59, 999});
    clock_.QueueReading({2024, 3, 6, 0, 0, 0, 1});
    Log("midnight");
    EXPECT_EQ(Content(), "06/03/2024 00:00:00 midnight\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "log_20240306.txt"));
}

TEST_F(DailyLogFile, MissingDirectoryLosesTheLineUntilItExists) {
    const std::string missing =
        dir_.dir() + "later" + static_cast<char>(std::filesystem::path::preferred_separator);
    DailyLog(missing, clock_).Write("lost");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "later"));
    std::filesystem::create_directory(dir_.path() / "later");
    DailyLog(missing, clock_).Write("kept");
    EXPECT_EQ(dir_.Read("later/log_20240305.txt"), "05/03/2024 14:07:09 kept\r\n");
}

TEST_F(DailyLogFile, NonAsciiCharactersAreConvertedAndTheRestOfTheLineStays) {
    Log("caf\xC3\xA9 ok");
    const std::string content = Content();
#ifdef _WIN32
    // The ANSI code page holds é or writes a best-fit character; either way one byte.
    EXPECT_EQ(content.size(), std::string("05/03/2024 14:07:09 cafe ok\r\n").size());
#else
    EXPECT_EQ(content, "05/03/2024 14:07:09 caf\xC3\xA9 ok\r\n");
#endif
    EXPECT_EQ(content.substr(content.size() - 5), " ok\r\n");
}

// Another program holding the file for writing makes the open fail: the line is lost, nothing else.
TEST_F(DailyLogFile, FileHeldByAnotherWriterLosesTheLine) {
    Log("first");
    const std::string path = dir_.file("log_20240305.txt");
#ifdef _WIN32
    const std::u16string wide(path.begin(), path.end());
    HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Log("lost");
    CloseHandle(held);
#else
    // Record locks belong to a process, so the holder must be another one.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(path.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const char ok = (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        char ignored;
        (void)!read(release[0], &ignored, 1);
        _exit(0);
    }
    char ok = '0';
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    Log("lost");
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
#endif
    Log("after");
    EXPECT_EQ(Content(), "05/03/2024 14:07:09 first\r\n05/03/2024 14:07:09 after\r\n");
}

#ifndef _WIN32
// What a local user can plant in the log directory before the day's first line: a symbolic link to a file
// the service must not write, a fifo, a hard link, a file of their own. The log refuses each one, leaves it
// as it is, loses the line, names the path once in the system log and goes on.
class RefusedLogFile : public ::testing::Test {
protected:
    void Log(std::string_view message) {
        DailyLog log(dir_.dir(), clock_, [this](const std::string& line) { notices_.push_back(line); });
        log.Write(message);
        log.Write(message); // the second refusal of the same file is not named again
    }
    std::string DayPath() const { return dir_.file("log_20240305.txt"); }

    test::TempDir dir_;
    test::TempDir elsewhere_;
    test::FakeClock clock_{LocalDateTime{2024, 3, 5, 14, 7, 9, 45}};
    std::vector<std::string> notices_;
};

constexpr uid_t kNobody = 65534;

TEST_F(RefusedLogFile, PlantedLinksFifosAndHardLinksAreLeftAloneAndNamedOnce) {
    const std::string target = elsewhere_.file("shadow");
    elsewhere_.Write("shadow", "root:secret\n");
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    ASSERT_EQ(symlink(target.c_str(), DayPath().c_str()), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(lchown(DayPath().c_str(), kNobody, kNobody), 0); // planted by another user
    }
    Log("Service started, IP 127.0.0.1");
    EXPECT_EQ(elsewhere_.Read("shadow"), "root:secret\n");
    EXPECT_EQ(notices_, std::vector<std::string>{LogRefusedText(DayPath())});
    EXPECT_EQ(notices_[0], "Daily log line lost: " + DayPath() +
                               " is a symbolic link or not a regular file owned by the service's user; it is "
                               "left untouched");

    // The next day's file is the service's own again.
    clock_.Advance(24LL * 3600 * 1000);
    DailyLog(dir_.dir(), clock_, [this](const std::string& line) {
        notices_.push_back(line);
    }).Write("next day");
    EXPECT_EQ(dir_.Read("log_20240306.txt"), "06/03/2024 14:07:09 next day\r\n");
    EXPECT_EQ(notices_.size(), 1u);
    clock_.Advance(-24LL * 3600 * 1000);

    // A dangling link is not followed to create its target either.
    std::filesystem::remove(DayPath());
    const std::string absent = elsewhere_.file("created-through-link");
    ASSERT_EQ(symlink(absent.c_str(), DayPath().c_str()), 0);
    notices_.clear();
    Log("lost");
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_EQ(notices_.size(), 1u);

    // A fifo does not hold the service, a hard link to another file is not written through.
    std::filesystem::remove(DayPath());
    ASSERT_EQ(mkfifo(DayPath().c_str(), 0666), 0);
    notices_.clear();
    Log("lost");
    EXPECT_EQ(notices_.size(), 1u);
    std::filesystem::remove(DayPath());
    elsewhere_.Write("ours", "kept\n");
    ASSERT_EQ(link(elsewhere_.file("ours").c_str(), DayPath().c_str()), 0);
    notices_.clear();
    Log("lost");
    EXPECT_EQ(elsewhere_.Read("ours"), "kept\n");
    EXPECT_EQ(notices_.size(), 1u);
}

TEST_F(RefusedLogFile, FileOwnedBySomeoneElseIsRefused) {
    if (geteuid() == 0) {
        dir_.Write("log_20240305.txt", "their line\r\n");
        ASSERT_EQ(chown(DayPath().c_str(), kNobody, kNobody), 0);
        Log("lost");
        EXPECT_EQ(dir_.Read("log_20240305.txt"), "their line\r\n");
        EXPECT_EQ(notices_, std::vector<std::string>{LogRefusedText(DayPath())});
    } else {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
}

TEST_F(RefusedLogFile, NewFileIsCreatedForTheOwnerAndGroupOnly) {
    const mode_t previous = umask(0);
    DailyLog(dir_.dir(), clock_, [this](const std::string& line) {
        notices_.push_back(line);
    }).Write("first");
    umask(previous);
    struct stat info {};
    ASSERT_EQ(lstat(DayPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_TRUE(notices_.empty());
}
#endif

} // namespace
} // namespace telva
