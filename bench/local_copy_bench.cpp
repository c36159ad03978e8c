// Copies one file the way the player's copier does (temporary name, written back as it goes,
// synced, checked, renamed, the source's time kept), at the copier's priorities, and prints the
// seconds it took: what bench/local_copies_bench.sh sets beside cp.
//
//   local_copy_bench FROM TO [BYTES_PER_SECOND]   (0 or none: no bound)
#include "app/LocalCopies.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: local_copy_bench FROM TO [BYTES_PER_SECOND]\n");
        return 2;
    }
    const QString from = QString::fromLocal8Bit(argv[1]);
    const QString to = QString::fromLocal8Bit(argv[2]);
    const qint64 rate = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 0;
    const std::optional<MediaFiles::Stamp> stamp = MediaFiles::stampOf(from);
    if (!stamp || !stamp->exists) {
        std::fprintf(stderr, "local_copy_bench: cannot look at %s\n", argv[1]);
        return 1;
    }
    LocalCopies::lowerCopierPriority();
    const auto started = std::chrono::steady_clock::now();
    const QString why = LocalCopies::copyFile(from, to, *stamp, rate).why;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "local_copy_bench: %s\n", why.toLocal8Bit().constData());
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
