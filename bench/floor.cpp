// The least that any crash-safe edit of a file must do, as a yardstick for whole runs of the
// setup program: read the file once, build the new content with one line changed in one buffer,
// write it to a temporary file in the same directory, flush it, rename it over the file and flush
// the directory. No parsing and no locking.
//
//   vorkap_floor FILE OFFSET REMOVE INSERT
//
// replaces REMOVE bytes at OFFSET with the bytes of INSERT.
//
// Its buffer gets the same treatment as the program's: a large one asks for transparent huge
// pages before it is touched, since faulting in memory 4 KB at a time costs more than the disk
// on some virtual machines, and the comparison is about the work, not the allocator.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Fail(const char* What)
{
    fprintf(stderr, "vorkap_floor: %s: %s\n", What, strerror(errno));
    return 1;
}

char* AllocateBuffer(size_t Size)
{
    constexpr size_t kHugePage = (size_t)2 << 20;
    size_t Mapped = Size + kHugePage;
    void* Base = mmap(nullptr, Mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Base == MAP_FAILED) return nullptr;
    if (Size >= kHugePage / 2) {
        uintptr_t Begin = ((uintptr_t)Base + kHugePage - 1) & ~(uintptr_t)(kHugePage - 1);
        uintptr_t End = ((uintptr_t)Base + Mapped) & ~(uintptr_t)(kHugePage - 1);
        if (End > Begin) (void)madvise((void*)Begin, End - Begin, MADV_HUGEPAGE);
    }
    return (char*)Base;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: vorkap_floor FILE OFFSET REMOVE INSERT\n");
        return 2;
    }
    std::string Path = argv[1];
    size_t Offset = strtoull(argv[2], nullptr, 10);
    size_t Remove = strtoull(argv[3], nullptr, 10);
    const char* Insert = argv[4];
    size_t InsertSize = strlen(Insert);

    int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) return Fail("open");
    struct stat Status;
    if (fstat(Fd, &Status) != 0) return Fail("fstat");
    size_t Size = (size_t)Status.st_size;
    if (Offset + Remove > Size) {
        fprintf(stderr, "vorkap_floor: edit lies outside the file\n");
        return 2;
    }

    // The new content goes straight into its buffer: the head of the file, the changed line, the
    // rest of the file.
    size_t NewSize = Size - Remove + InsertSize;
    char* Content = AllocateBuffer(NewSize);
    if (!Content) return Fail("allocate");
    size_t Have = 0;
    while (Have < Offset) {
        ssize_t Got = pread(Fd, &Content[Have], Offset - Have, (off_t)Have);
        if (Got <= 0) return Fail("read");
        Have += (size_t)Got;
    }
    memcpy(&Content[Offset], Insert, InsertSize);
    size_t Tail = Offset + Remove;
    while (Tail < Size) {
        ssize_t Got = pread(Fd, &Content[Tail - Remove + InsertSize], Size - Tail, (off_t)Tail);
        if (Got <= 0) return Fail("read");
        Tail += (size_t)Got;
    }
    close(Fd);

    size_t Slash = Path.rfind('/');
    std::string Directory = Slash == std::string::npos ? "." : Path.substr(0, Slash);
    std::string Temporary = Path + ".floor.tmp";
    int Out = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (Out < 0) return Fail("create temporary file");
    for (size_t Done = 0; Done < NewSize;) {
        ssize_t Wrote = write(Out, Content + Done, NewSize - Done);
        if (Wrote < 0) return Fail("write");
        Done += (size_t)Wrote;
    }
    if (fsync(Out) != 0) return Fail("fsync");
    if (close(Out) != 0) return Fail("close");
    if (rename(Temporary.c_str(), Path.c_str()) != 0) return Fail("rename");
    int Dir = open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir < 0 || fsync(Dir) != 0) return Fail("fsync directory");
    close(Dir);
    return 0;
}
