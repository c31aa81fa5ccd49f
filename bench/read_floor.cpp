// What any reader of a file pays before it parses a token: reading the file through a 64 KiB
// buffer (what the module's readers use for files of a megabyte or more) and finding its line
// feeds, and faulting in fresh memory for its results (huge pages where the kernel gives them, as
// the module asks for them).
//
//     read_floor FILE RESULT_BYTES REPEAT   ->   {"read_s": ..., "fault_s": ...}  (best of REPEAT)
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: read_floor FILE RESULT_BYTES REPEAT\n");
        return 2;
    }
    const std::size_t result_bytes = std::strtoull(argv[2], nullptr, 10);
    const int repeat = std::atoi(argv[3]);
    double read_s = 1e9, fault_s = 1e9;
    std::size_t lines = 0;
    for (int rep = 0; rep < repeat; ++rep) {
        double t = now();
        int fd = ::open(argv[1], O_RDONLY);
        if (fd < 0) return 1;
        static char buffer[65536];
        ssize_t n;
        lines = 0;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            for (const char* p = buffer; (p = static_cast<const char*>(std::memchr(p, '\n', buffer + n - p))); ++p)
                ++lines;
        ::close(fd);
        read_s = std::min(read_s, now() - t);

        t = now();
        void* memory = ::mmap(nullptr, result_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return 1;
        ::madvise(memory, result_bytes, MADV_HUGEPAGE);
        for (std::size_t i = 0; i < result_bytes; i += 4096) static_cast<volatile char*>(memory)[i] = 1;
        fault_s = std::min(fault_s, now() - t);
        ::munmap(memory, result_bytes);
    }
    std::printf("{\"read_s\": %.9f, \"fault_s\": %.9f, \"lines\": %zu}\n", read_s, fault_s, lines);
}
