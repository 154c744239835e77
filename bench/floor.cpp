// The least that any crash-safe edit of a file must do, as a yardstick for whole runs of the
// setup program: read the file once, build the new content with one line changed in one buffer,
// write it to a temporary file in the same directory, flush it, rename it over the file and flush
// the directory. No parsing and no locking.
//
//   vorkap_floor FILE OFFSET REMOVE INSERT
//
// replaces REMOVE bytes at OFFSET with the bytes of INSERT.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

int Fail(const char* What)
{
    fprintf(stderr, "vorkap_floor: %s: %s\n", What, strerror(errno));
    return 1;
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
    std::unique_ptr<char[]> Buffer(new char[NewSize]);
    char* Content = Buffer.get();
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
