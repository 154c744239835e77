// Profile files on disk: what a write leaves when it succeeds, when there is nothing to do, and
// when it cannot be done. A failed write returns false and leaves the file exactly as it was.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "profile/profile.h"
#include "tests/support/bytes.h"
#include "tests/support/child.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

// Runs Body in a child process as an unprivileged user, since root bypasses file modes. Answers
// the child's exit status.
int RunUnprivileged(const std::function<int()>& Body)
{
    fflush(nullptr);
    pid_t Child = fork();
    if (Child == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
        _exit(Body());
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 100;
}

class ProfileFileTest : public ::testing::Test {
protected:
    bool Write(const char* Section, const char* Key, const char* Value)
    {
        return WritePrivateProfileStringA(Section, Key, Value, Path_.c_str()) != FALSE;
    }
    int EntriesIn(const fs::path& Directory)
    {
        int Count = 0;
        for (auto& Item : fs::directory_iterator(Directory)) {
            (void)Item;
            Count++;
        }
        return Count;
    }

    ScratchDirectory Scratch_;
    fs::path Directory_ = Scratch_.Path();
    fs::path Path_ = Directory_ / "notes.ini";
};

const char kOriginal[] = "; kept\r\n[Notes]\r\nA=1\r\n\r\n[Vorkap]\r\nOutputXML=1\r\n";

TEST_F(ProfileFileTest, WriteChangesOnlyTargetLineAndKeepsMode)
{
    WriteBytes(Path_, kOriginal);
    fs::permissions(Path_, fs::perms::owner_read | fs::perms::owner_write |
                               fs::perms::group_read);
    ASSERT_TRUE(Write("Notes", "A", "2"));
    EXPECT_EQ(ReadBytes(Path_), "; kept\r\n[Notes]\r\nA=2\r\n\r\n[Vorkap]\r\nOutputXML=1\r\n");
    EXPECT_EQ(fs::status(Path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(EntriesIn(Directory_), 1) << "no temporary file is left behind";
}

TEST_F(ProfileFileTest, NothingToChangeWritesNothing)
{
    WriteBytes(Path_, kOriginal);
    fs::file_time_type Old = fs::last_write_time(Path_) - std::chrono::hours(1);
    fs::last_write_time(Path_, Old);
    struct stat Before;
    ASSERT_EQ(stat(Path_.c_str(), &Before), 0);

    EXPECT_TRUE(Write("Notes", "A", "1"));
    EXPECT_TRUE(Write("Notes", "Missing", nullptr));
    EXPECT_TRUE(Write("Absent", "OutputXML", nullptr));

    struct stat After;
    ASSERT_EQ(stat(Path_.c_str(), &After), 0);
    EXPECT_EQ(fs::last_write_time(Path_), Old);
    EXPECT_EQ(After.st_ino, Before.st_ino) << "the file was not replaced";
    EXPECT_EQ(ReadBytes(Path_), kOriginal);
}

TEST_F(ProfileFileTest, SymbolicLinkStaysLinkAndTargetChanges)
{
    fs::create_directories(Directory_ / "real");
    fs::path Target = Directory_ / "real" / "notes.ini";
    WriteBytes(Target, kOriginal);
    fs::create_symlink("real/notes.ini", Path_);

    ASSERT_TRUE(Write("Notes", "VIEWEXP5", "entry"));
    EXPECT_TRUE(fs::is_symlink(Path_));
    EXPECT_EQ(ReadBytes(Target),
              "; kept\r\n[Notes]\r\nA=1\r\nVIEWEXP5=entry\r\n\r\n[Vorkap]\r\nOutputXML=1\r\n");
    char Buffer[32];
    GetPrivateProfileStringA("Notes", "VIEWEXP5", "", Buffer, sizeof Buffer, Path_.c_str());
    EXPECT_STREQ(Buffer, "entry");
}

// A notes.ini that is gone since the search found it is not made anew with one key in it.
TEST_F(ProfileFileTest, MissingFileIsNeverCreated)
{
    EXPECT_TRUE(Write("Vorkap", "OutputXML", nullptr));
    EXPECT_FALSE(Write("Notes", "A", "1"));
    EXPECT_FALSE(fs::exists(Path_));
}

TEST_F(ProfileFileTest, RefusedEditsLeaveFileAlone)
{
    WriteBytes(Path_, kOriginal);
    EXPECT_FALSE(Write("Notes", "A", "1\r\n[Injected]"));
    EXPECT_EQ(ReadBytes(Path_), kOriginal);

    const std::string Utf16("\xFF\xFE[\0N\0]\0", 8);
    WriteBytes(Path_, Utf16);
    EXPECT_FALSE(Write("Notes", "A", "1"));
    EXPECT_FALSE(Write("Notes", "A", nullptr));
    EXPECT_EQ(ReadBytes(Path_), Utf16);
}

TEST_F(ProfileFileTest, NotRegularFileIsUnusable)
{
    fs::create_directory(Path_);
    char Buffer[8];
    EXPECT_EQ(GetPrivateProfileStringA("Notes", "A", "d", Buffer, sizeof Buffer, Path_.c_str()),
              1u);
    EXPECT_FALSE(Write("Notes", "A", "1"));
    EXPECT_FALSE(Write("Notes", "A", nullptr));
    fs::remove(Path_);

    ASSERT_EQ(mkfifo(Path_.c_str(), 0666), 0);
    EXPECT_EQ(GetPrivateProfileStringA("Notes", "A", "d", Buffer, sizeof Buffer, Path_.c_str()),
              1u);
    EXPECT_FALSE(Write("Notes", "A", "1"));
    EXPECT_TRUE(fs::is_fifo(Path_));
}

TEST_F(ProfileFileTest, ReadOnlyFileRefusesWrite)
{
    WriteBytes(Path_, kOriginal);
    fs::permissions(Path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::path Path = Path_;
    int Status = RunUnprivileged([&] {
        bool Set = WritePrivateProfileStringA("Notes", "A", "2", Path.c_str());
        bool Deleted = WritePrivateProfileStringA("Vorkap", "OutputXML", nullptr, Path.c_str());
        return (Set ? 1 : 0) | (Deleted ? 2 : 0);
    });
    EXPECT_EQ(Status, 0) << "both the set and the delete must fail";
    EXPECT_EQ(ReadBytes(Path_), kOriginal);
    EXPECT_EQ(EntriesIn(Directory_), 1);
}

TEST_F(ProfileFileTest, DirectoryRefusingTemporaryFileIsRewrittenInPlace)
{
    WriteBytes(Path_, kOriginal);
    fs::permissions(Path_, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                              fs::perms::others_exec));
    fs::permissions(Directory_, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::path Path = Path_;
    int Status = RunUnprivileged([&] {
        return WritePrivateProfileStringA("Notes", "VIEWEXP5", "entry", Path.c_str()) ? 0 : 1;
    });
    EXPECT_EQ(Status, 0);
    EXPECT_EQ(ReadBytes(Path_),
              "; kept\r\n[Notes]\r\nA=1\r\nVIEWEXP5=entry\r\n\r\n[Vorkap]\r\nOutputXML=1\r\n");
    EXPECT_EQ(EntriesIn(Directory_), 1);
}

TEST_F(ProfileFileTest, UnreadableFileIsNeverOverwritten)
{
    WriteBytes(Path_, kOriginal);
    fs::permissions(Path_, fs::perms::owner_write | fs::perms::group_write |
                               fs::perms::others_write);
    fs::path Path = Path_;
    int Status = RunUnprivileged([&] {
        char Buffer[8];
        GetPrivateProfileStringA("Notes", "A", "d", Buffer, sizeof Buffer, Path.c_str());
        bool Read = Buffer[0] == 'd';
        bool Set = WritePrivateProfileStringA("Notes", "A", "2", Path.c_str());
        return (Read ? 0 : 1) | (Set ? 2 : 0);
    });
    EXPECT_EQ(Status, 0);
    fs::permissions(Path_, fs::perms::owner_read, fs::perm_options::add);
    EXPECT_EQ(ReadBytes(Path_), kOriginal);
}

// A read that finds the file but cannot read it is remembered for the run: a later write of that
// file fails, even once it could be read, since the keys the write rests on were never seen. A
// missing file reads as empty and may then be created; another file's failed read changes
// nothing. Each case is one run: a process of its own, as kNobody, in a directory of its own.
TEST_F(ProfileFileTest, FileThatAReadCouldNotReadIsNotWritten)
{
    using Step = void (*)(const std::string& Directory);
    const Step Refuse = [](const std::string& Directory) {
        chmod((Directory + "/notes.ini").c_str(), 0);
        chmod((Directory + "/other.ini").c_str(), 0);
    };
    const Step Allow = [](const std::string& Directory) {
        chmod((Directory + "/notes.ini").c_str(), 0644);
    };
    struct Case {
        const char* Name;
        const char* Read;  // the file read, beside notes.ini
        Step BeforeRead;
        Step BeforeWrite;
        bool Written;
    };
    const Case Cases[] = {
        {"Refused", "notes.ini", Refuse, Allow, false},
        {"RefusedThroughLink", "link.ini", Refuse, Allow, false},
        {"Directory", "notes.ini",
         [](const std::string& Directory) {
             unlink((Directory + "/notes.ini").c_str());
             mkdir((Directory + "/notes.ini").c_str(), 0755);
         },
         [](const std::string& Directory) {
             rmdir((Directory + "/notes.ini").c_str());
             WriteBytes(Directory + "/notes.ini", kOriginal);
         },
         false},
        {"Missing", "notes.ini",
         [](const std::string& Directory) { unlink((Directory + "/notes.ini").c_str()); },
         [](const std::string& Directory) { WriteBytes(Directory + "/notes.ini", kOriginal); },
         true},
        {"OtherFileRefused", "other.ini", Refuse, Allow, true},
    };
    std::string Changed;
    ASSERT_EQ(profile::Edit(kOriginal, "Notes", "A", "2", 1252, Changed),
              profile::EditResult::Changed);
    for (const Case& Each : Cases) {
        std::string Directory = (Directory_ / Each.Name).string();
        ASSERT_EQ(mkdir(Directory.c_str(), 0755), 0);
        WriteBytes(Directory + "/notes.ini", kOriginal);
        WriteBytes(Directory + "/other.ini", kOriginal);
        ASSERT_EQ(symlink("notes.ini", (Directory + "/link.ini").c_str()), 0);
        if (geteuid() == 0) {
            for (const char* Name : {"", "/notes.ini", "/other.ini"}) {
                ASSERT_EQ(chown((Directory + Name).c_str(), kNobody, kNobody), 0);
            }
        }
        int Status = RunUnprivileged([&] {
            Each.BeforeRead(Directory);
            char Buffer[8];
            std::string Read = Directory + "/" + Each.Read;
            GetPrivateProfileStringA("Notes", "A", "d", Buffer, sizeof Buffer, Read.c_str());
            Each.BeforeWrite(Directory);
            std::string Ini = Directory + "/notes.ini";
            return WritePrivateProfileStringA("Notes", "A", "2", Ini.c_str()) ? 1 : 0;
        });
        EXPECT_EQ(Status, Each.Written ? 1 : 0) << Each.Name;
        chmod((Directory + "/notes.ini").c_str(), 0644);
        EXPECT_EQ(ReadBytes(Directory + "/notes.ini"), Each.Written ? Changed : kOriginal)
            << Each.Name;
    }
}

// The cached copy of a file: lookups of an old file keep it, and a write never trusts it: it
// reads the file again under its lock.--

class CachedCopy : public ::testing::Test {
protected:
    void Write(const std::string& Content) { WriteBytes(Path_, Content); }
    std::string Read() { return ReadBytes(Path_); }
    // Another program changes one byte in place: the size stays, the change time moves on.
    void Poke(off_t Offset, char Byte)
    {
        int Fd = open(Path_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(Fd, 0);
        ASSERT_EQ(pwrite(Fd, &Byte, 1, Offset), 1);
        close(Fd);
    }
    std::string Lookup(const char* Section, const char* Key, const std::string& Path = "")
    {
        char Buffer[256];
        GetPrivateProfileStringA(Section, Key, "<none>", Buffer, sizeof Buffer,
                                 Path.empty() ? Path_.c_str() : Path.c_str());
        return Buffer;
    }
    // Lets the file's change times fall two seconds behind the clock, as for a file that was
    // written long ago (a copy of such a file was once taken over by the write).
    void Age()
    {
        struct timespec Pause = {2, 100 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }

    ScratchDirectory Scratch_;
    std::string Path_ = Scratch_.Path() + "/notes.ini";
};

// Of every size: a file short enough to be held inside its string object too.
TEST_F(CachedCopy, WriteAfterLookupsOfAnOldFileEditsThatFile)
{
    const std::vector<std::string> Files = {"[Notes]\r\nVIEWEXP5=a\r\nOther=1\r\n\r\n[X]\r\nk=v\r\n",
                                            "[Notes]\r\n", "[Notes]\nA=1\n", "[notes]\n\n"};
    // All files are written first and aged once.
    for (size_t Index = 0; Index < Files.size(); Index++) {
        WriteBytes(Path_ + std::to_string(Index), Files[Index]);
    }
    Age();
    for (size_t Index = 0; Index < Files.size(); Index++) {
        const std::string& Before = Files[Index];
        std::string Path = Path_ + std::to_string(Index);
        bool Has5 = Before.find("VIEWEXP5") != std::string::npos;
        EXPECT_EQ(Lookup("Notes", "VIEWEXP5", Path), Has5 ? "a" : "<none>");
        EXPECT_EQ(Lookup("Notes", "VIEWEXP6", Path), "<none>");
        ASSERT_TRUE(WritePrivateProfileStringA("Notes", "VIEWEXP6", "b", Path.c_str()));
        std::string Expected;
        ASSERT_EQ(profile::Edit(Before, "Notes", "VIEWEXP6", "b", 1252, Expected),
                  profile::EditResult::Changed);
        EXPECT_EQ(ReadBytes(Path), Expected);
        EXPECT_EQ(Lookup("Notes", "VIEWEXP6", Path), "b");
    }
}

TEST_F(CachedCopy, ChangesOfSameSizeBetweenLookupAndWriteAreSeen)
{
    Write("[Notes]\nA=1\nB=2\n");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "1");

    Poke(10, '7');
    EXPECT_EQ(Lookup("Notes", "A"), "7");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "7");
    // The copy kept by that lookup is stale by the time of the write.
    Poke(10, '8');
    ASSERT_TRUE(WritePrivateProfileStringA("Notes", "C", "3", Path_.c_str()));
    EXPECT_EQ(Read(), "[Notes]\nA=8\nB=2\nC=3\n");
}

TEST_F(CachedCopy, FileReplacedByRenameBetweenLookupAndWrite)
{
    Write("[Notes]\nA=1\n");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "1");
    std::string Other = Scratch_.Path() + "/other.ini";
    WriteBytes(Other, "[Notes]\nA=2\n");
    ASSERT_EQ(rename(Other.c_str(), Path_.c_str()), 0);
    EXPECT_EQ(Lookup("Notes", "A"), "2");
    ASSERT_TRUE(WritePrivateProfileStringA("Notes", "A", nullptr, Path_.c_str()));
    EXPECT_EQ(Read(), "[Notes]\n");
}

}  // namespace
