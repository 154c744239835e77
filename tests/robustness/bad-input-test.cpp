// Bad input: a notes.ini that is not a regular file, odd bytes, huge files and lines, UTF-16,
// and values at the edge of the 256-byte read buffer. Each run ends in bounded time with the
// right edit, every other byte kept, or with a clean refusal that leaves the file alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "tests/robustness/content.h"
#include "tests/robustness/harness.h"

using namespace robust;

namespace {

const std::string E = kEntry;

RunResult RunBounded(const Scratch& Where, bool Remove)
{
    RunOptions Options = SetupOptions(Where, Remove);
    Options.TimeoutMilliseconds = 20000;
    return RunChild(Where.Program(), Options);
}

// --- notes.ini that is not a regular file --------------------------------------------------------

// Makes the odd notes.ini; answers false (with the reason in Why) where it cannot be made safely.
bool MakeOdd(const Scratch& Where, const std::string& Name, std::string& Why)
{
    const std::string Ini = Where.Ini();
    if (Name == "directory") {
        EXPECT_EQ(mkdir(Ini.c_str(), 0755), 0);
    } else if (Name == "fifo") {
        EXPECT_EQ(mkfifo(Ini.c_str(), 0644), 0);
    } else if (Name == "dangling symlink") {
        EXPECT_EQ(symlink("absent.ini", Ini.c_str()), 0);
    } else if (Name == "symlink loop") {
        EXPECT_EQ(symlink("notes.ini", Ini.c_str()), 0);
    } else {
        // A link to a zero or null device: a node of its own in the scratch directory, so that
        // no fault could ever touch the system's /dev. Without the right to make one, only a
        // user who could not replace /dev/zero anyway links to the real device.
        bool Zero = Name == "symlink to zero device";
        std::string Node = Where.Root() + (Zero ? "/zero" : "/null");
        if (mknod(Node.c_str(), S_IFCHR | 0666, makedev(1, Zero ? 5 : 3)) != 0) {
            if (geteuid() == 0) {
                Why = std::string("cannot make a device node: ") + strerror(errno);
                return false;
            }
            Node = Zero ? "/dev/zero" : "/dev/null";
        }
        EXPECT_EQ(symlink(Node.c_str(), Ini.c_str()), 0);
    }
    return true;
}

// What the odd notes.ini is: type, inode and, for a link, where it leads.
std::string Identity(const std::string& Path)
{
    struct stat Status;
    if (lstat(Path.c_str(), &Status) != 0) return "missing";
    char Link[512] = "";
    if (S_ISLNK(Status.st_mode)) {
        ssize_t Length = readlink(Path.c_str(), Link, sizeof Link - 1);
        if (Length > 0) Link[Length] = '\0';
    }
    return std::to_string(Status.st_mode) + " " + std::to_string(Status.st_ino) + " " + Link;
}

TEST(BadInput, NotARegularFile)
{
    struct Odd {
        const char* Name;
        int Status;  // of registration and removal alike
    };
    // The search accepts whatever exists under the name (a dangling link does not); the engine
    // then refuses anything but a regular file, without reading it.
    const Odd Cases[] = {
        {"directory", kStatusWriteFailed},
        {"fifo", kStatusWriteFailed},
        {"symlink to zero device", kStatusWriteFailed},
        {"symlink to null device", kStatusWriteFailed},
        {"dangling symlink", kStatusNotFound},
        {"symlink loop", kStatusNotFound},
    };
    for (const Odd& Case : Cases) {
        for (bool Remove : {false, true}) {
            SCOPED_TRACE(std::string(Case.Name) + (Remove ? ", removal" : ", registration"));
            Scratch Where;
            std::string Why;
            if (!MakeOdd(Where, Case.Name, Why)) {
                printf("skipped %s: %s\n", Case.Name, Why.c_str());
                continue;
            }
            std::string Before = Identity(Where.Ini());
            std::vector<std::string> Listing = ListDirectory(Where.Notes());
            std::vector<std::string> Root = ListDirectory(Where.Root());

            RunResult Result = RunBounded(Where, Remove);
            EXPECT_FALSE(Result.TimedOut) << "the program hung";
            EXPECT_EQ(Result.Status, Case.Status) << Describe(Result);
            if (Case.Status == kStatusWriteFailed) {
                EXPECT_EQ(Result.Out, TEXT_WRITE_FAILED);
            }
            EXPECT_EQ(Identity(Where.Ini()), Before);
            EXPECT_EQ(ListDirectory(Where.Notes()), Listing);
            EXPECT_EQ(ListDirectory(Where.Root()), Root);
        }
    }
}

// --- Odd bytes -----------------------------------------------------------------------------------

struct BytesCase {
    const char* Name;
    std::string Input;
    std::string Registered;  // after registration
    std::string Removed;     // after a removal that follows it
};

// A string literal with NUL bytes in it, whole.
#define BIN(Literal) std::string(Literal, sizeof(Literal) - 1)

TEST(BadInput, OddBytesAreKept)
{
    const std::string L = "VIEWEXP5=" + E;
    const BytesCase Cases[] = {
        {"NUL bytes end what a read sees, and are kept",
         BIN("[Notes]\r\nVIEWEXP1=x\0hidden\r\nKey\0=\0\r\n\r\n[Next]\r\na=\0b\r\n"),
         BIN("[Notes]\r\nVIEWEXP1=x\0hidden\r\nKey\0=\0\r\n") + L + "\r\n" +
             BIN("\r\n[Next]\r\na=\0b\r\n"),
         BIN("[Notes]\r\nVIEWEXP1=x\0hidden\r\nKey\0=\0\r\n\r\n[Next]\r\na=\0b\r\n")},
        {"a line of NULs counts as blank",
         BIN("[Notes]\r\nVIEWEXP1=x\r\n\0\0\0\r\n[Next]\r\n"),
         "[Notes]\r\nVIEWEXP1=x\r\n" + L + "\r\n" + BIN("\0\0\0\r\n[Next]\r\n"),
         BIN("[Notes]\r\nVIEWEXP1=x\r\n\0\0\0\r\n[Next]\r\n")},
        {"a marker behind a NUL is not seen",
         BIN("[Notes]\nVIEWEXP5=abc\0_vorkap,,\n"),
         BIN("[Notes]\nVIEWEXP5=abc\0_vorkap,,\n") + "VIEWEXP6=" + E + "\n",
         BIN("[Notes]\nVIEWEXP5=abc\0_vorkap,,\n")},
        {"binary and invalid code page 932 bytes",
         "\x01\x02\xFF\x80junk\r\n[\x81Notes]\r\nVIEWEXP5=\x81\r\n[Notes]\r\nVIEWEXP1=\x81\r\n"
         "\x82=\xFF\x81\r\n\xA0\xFD\xFE\r\n",
         "\x01\x02\xFF\x80junk\r\n[\x81Notes]\r\nVIEWEXP5=\x81\r\n[Notes]\r\nVIEWEXP1=\x81\r\n"
         "\x82=\xFF\x81\r\n\xA0\xFD\xFE\r\n" + L + "\r\n",
         "\x01\x02\xFF\x80junk\r\n[\x81Notes]\r\nVIEWEXP5=\x81\r\n[Notes]\r\nVIEWEXP1=\x81\r\n"
         "\x82=\xFF\x81\r\n\xA0\xFD\xFE\r\n"},
        {"0xA0 and a full-width space are values, not blanks",
         "[Notes]\r\nVIEWEXP5=\xA0\r\nVIEWEXP6=\x81\x40\r\n",
         "[Notes]\r\nVIEWEXP5=\xA0\r\nVIEWEXP6=\x81\x40\r\nVIEWEXP7=" + E + "\r\n",
         "[Notes]\r\nVIEWEXP5=\xA0\r\nVIEWEXP6=\x81\x40\r\n"},
        {"lone CR line ends",
         "[Notes]\rVIEWEXP1=a\r[Next]\rb=c\r",
         "[Notes]\rVIEWEXP1=a\r" + L + "\r[Next]\rb=c\r",
         "[Notes]\rVIEWEXP1=a\r[Next]\rb=c\r"},
        {"a new line's lone CR never joins an LF that follows it",
         "[Notes]\rVIEWEXP1=a\n\n[Next]\r",
         "[Notes]\rVIEWEXP1=a\n" + L + "\r\n\n[Next]\r",
         "[Notes]\rVIEWEXP1=a\n\n[Next]\r"},
        {"mixed line ends: new lines take the first",
         "[A]\r\nx=1\n[Notes]\rVIEWEXP1=a\n\r\n",
         "[A]\r\nx=1\n[Notes]\rVIEWEXP1=a\n" + L + "\r\n\r\n",
         "[A]\r\nx=1\n[Notes]\rVIEWEXP1=a\n\r\n"},
        {"no line end at the end of the file",
         "[Notes]\nVIEWEXP1=a",
         "[Notes]\nVIEWEXP1=a\n" + L + "\n",
         "[Notes]\nVIEWEXP1=a\n"},
        {"UTF-8 byte-order mark, no Notes section",
         "\xEF\xBB\xBF[Other]\r\nx=1",
         "\xEF\xBB\xBF[Other]\r\nx=1\r\n[Notes]\r\n" + L + "\r\n",
         "\xEF\xBB\xBF[Other]\r\nx=1\r\n[Notes]\r\n"},
        {"quoted empty value counts as empty",
         "[Notes]\r\nVIEWEXP5=\"\"\r\nVIEWEXP6=x\r\n",
         "[Notes]\r\n" + L + "\r\nVIEWEXP6=x\r\n",
         "[Notes]\r\nVIEWEXP6=x\r\n"},
        {"Ctrl-Z and tabs are blanks around a value",
         "[Notes]\r\n\tVIEWEXP5 =\x1A \r\n",
         "[Notes]\r\nVIEWEXP5=" + E + "\r\n",
         "[Notes]\r\n"},
    };
    for (const BytesCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Scratch Where;
        WriteBytes(Where.Ini(), Case.Input);
        RunResult Result = RunBounded(Where, false);
        EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
        EXPECT_EQ(ReadBytes(Where.Ini()), Case.Registered);
        Result = RunBounded(Where, true);
        EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
        EXPECT_EQ(ReadBytes(Where.Ini()), Case.Removed);
        EXPECT_EQ(ListDirectory(Where.Notes()), std::vector<std::string>{"notes.ini"});
    }
}

TEST(BadInput, Utf16FileIsRefusedUntouched)
{
    const std::string Cases[] = {
        BIN("\xFF\xFE[\0N\0o\0t\0e\0s\0]\0\r\0\n\0V\0I\0E\0W\0E\0X\0P\0\x35\0=\0x\0\r\0\n\0"),
        BIN("\xFE\xFF\0[\0N\0o\0t\0e\0s\0]\0\r\0\n"),
        "\xFF\xFE",
    };
    for (const std::string& Input : Cases) {
        for (bool Remove : {false, true}) {
            SCOPED_TRACE(std::to_string(Input.size()) + " bytes" + (Remove ? ", removal" : ""));
            Scratch Where;
            WriteBytes(Where.Ini(), Input);
            RunResult Result = RunBounded(Where, Remove);
            EXPECT_EQ(Result.Status, kStatusWriteFailed) << Describe(Result);
            EXPECT_EQ(Result.Out, TEXT_WRITE_FAILED);
            EXPECT_EQ(ReadBytes(Where.Ini()), Input);
            EXPECT_EQ(ListDirectory(Where.Notes()), std::vector<std::string>{"notes.ini"});
        }
    }
}

// --- Values at the read buffer's limit -----------------------------------------------------------

TEST(BadInput, ValuesAtTheReadBufferLimit)
{
    // A read sees the first 255 bytes of a value. The marker "_vorkap,," (9 bytes) after Lead
    // bytes is seen whole only when it ends within them; a value cut short is still not empty.
    struct Case {
        size_t Lead;
        bool WithMarker;
        size_t Tail;
        bool Found;
    };
    const Case Cases[] = {
        {254, false, 0, false}, {255, false, 0, false}, {256, false, 0, false},
        {246, true, 0, true},   {200, true, 100, true}, {247, true, 0, false},
        {250, true, 0, false},  {254, true, 0, false},  {255, true, 0, false},
        {300, true, 0, false},
    };
    for (const Case& Each : Cases) {
        std::string Value = std::string(Each.Lead, 'a') + (Each.WithMarker ? "_Vorkap,," : "") +
                            std::string(Each.Tail, 'b');
        SCOPED_TRACE("value of " + std::to_string(Value.size()) + " bytes, marker at " +
                     std::to_string(Each.Lead));
        Scratch Where;
        const std::string Input = "[Notes]\r\nVIEWEXP5=" + Value + "\r\n[Vorkap]\r\nKeep=1\r\n";
        WriteBytes(Where.Ini(), Input);

        RunResult Result = RunBounded(Where, false);
        ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
        // Found: the slot is rewritten in place. Not found: the slot is neither reused nor
        // taken for empty, and the entry goes to VIEWEXP6.
        std::string Registered =
            Each.Found ? "[Notes]\r\nVIEWEXP5=" + E + "\r\n[Vorkap]\r\nKeep=1\r\n"
                       : "[Notes]\r\nVIEWEXP5=" + Value + "\r\nVIEWEXP6=" + E +
                             "\r\n[Vorkap]\r\nKeep=1\r\n";
        EXPECT_EQ(ReadBytes(Where.Ini()), Registered);

        // Removal on the original file deletes the slot only where the marker is seen.
        WriteBytes(Where.Ini(), Input);
        Result = RunBounded(Where, true);
        ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
        EXPECT_EQ(ReadBytes(Where.Ini()),
                  Each.Found ? "[Notes]\r\n[Vorkap]\r\nKeep=1\r\n" : Input);
    }
}

// --- Very large files and lines ------------------------------------------------------------------

// Compares big contents without printing them.
void ExpectSameBytes(const std::string& Actual, const std::string& Expected)
{
    ASSERT_EQ(Actual.size(), Expected.size());
    EXPECT_TRUE(memcmp(Actual.data(), Expected.data(), Actual.size()) == 0);
}

TEST(BadInput, HundredMegabytesWithNotesAtTheEnd)
{
    Scratch Where;
    const std::string Plain = NotesIniOfSize(100 * 1024 * 1024);
    WriteBytes(Where.Ini(), Plain);

    RunResult Result = RunBounded(Where, false);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    {
        std::string After = ReadBytes(Where.Ini());
        ASSERT_EQ(After.size(), Plain.size() + RegisteredLine().size());
        EXPECT_TRUE(memcmp(After.data(), Plain.data(), Plain.size()) == 0);
        EXPECT_EQ(After.substr(Plain.size()), RegisteredLine());
    }
    Result = RunBounded(Where, true);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    ExpectSameBytes(ReadBytes(Where.Ini()), Plain);
}

TEST(BadInput, TenMegabyteLines)
{
    Scratch Where;
    const std::string Long(10 * 1024 * 1024, 'x');
    // One huge line without '=' in another section, one huge value (with the marker far beyond
    // what a read sees) in VIEWEXP5, and the file's last line without a line end.
    const std::string Input = "[Big]\r\n" + Long + "\r\n[Notes]\r\nVIEWEXP5=" + Long +
                              "_vorkap,,\r\nVIEWEXP6=" + Long;
    WriteBytes(Where.Ini(), Input);
    RunResult Result = RunBounded(Where, false);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    ExpectSameBytes(ReadBytes(Where.Ini()), Input + "\r\nVIEWEXP7=" + E + "\r\n");
    // Removal finds the entry in VIEWEXP7 and deletes that line alone.
    Result = RunBounded(Where, true);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    ExpectSameBytes(ReadBytes(Where.Ini()), Input + "\r\n");
}

TEST(BadInput, RandomBinaryBytesBeforeTheNotesSection)
{
    std::mt19937 Random(8);
    std::string Input = "junk";
    Input.reserve(1 << 20);
    while (Input.size() < (1 << 20)) Input.push_back((char)(Random() & 0xFF));
    // No '[' may start a line of the random part, or it could name a section of its own.
    for (size_t Index = 1; Index < Input.size(); Index++) {
        if (Input[Index] == '[') Input[Index] = ']';
    }
    Input += "\n[Notes]\n";
    // New lines take the first line end of the file, wherever it is.
    size_t First = Input.find_first_of("\r\n");
    std::string Ending = Input[First] == '\n' ? "\n" : Input[First + 1] == '\n' ? "\r\n" : "\r";

    Scratch Where;
    WriteBytes(Where.Ini(), Input);
    RunResult Result = RunBounded(Where, false);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    ExpectSameBytes(ReadBytes(Where.Ini()), Input + "VIEWEXP5=" + E + Ending);
    Result = RunBounded(Where, true);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    ExpectSameBytes(ReadBytes(Where.Ini()), Input);
}

}  // namespace
