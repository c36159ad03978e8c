// A file system for tests that stands in for a share that stops answering: it passes every call
// through to a backing folder, except that while the control file exists each call waits in the
// file system, the way a hard-mounted NFS share leaves its callers in the kernel, and goes on as
// soon as the control file is removed.
//
//   stallfs BACKING CONTROL MOUNTPOINT [--ready FILE] [--events FILE]
//
// A control file that holds "at OP PATH" or "after OP PATH" is a tripwire: calls go on until the
// first OP call on PATH (a trailing '*' matches any rest), and the share hangs as above from that
// call on ("at") or from the call after it ("after"). That stops the program under test at a
// chosen step: "at getattr /" at its next look at the source folder, "at open /day/*" when it
// next opens a file to play.
//
// It stays in the foreground. --ready: once mounted, its process id is written to FILE.
// --events: one line per call that had to wait ("stalled getattr /day") or sprang the tripwire
// ("tripped open /day/a.mp4"), for the test to see that the program under test really called
// into the share while it hung. It ends on SIGTERM,
// SIGINT or SIGHUP, and when its parent ends, so that a mount namespace it shares with the
// program under test goes away with that program.
#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string gBacking;
std::string gControl;
std::string gEvents;
std::mutex gEventsMutex;
struct fuse* gFuse = nullptr;

std::string backed(const char* path) { return gBacking + path; }

bool stopping() { return gFuse && fuse_session_exited(fuse_get_session(gFuse)); }

void noteEvent(const char* what, const char* op, const char* path) {
    if (gEvents.empty()) return;
    std::lock_guard<std::mutex> lock(gEventsMutex);
    if (FILE* f = std::fopen(gEvents.c_str(), "a")) {
        std::fprintf(f, "%s %s %s\n", what, op, path);
        std::fclose(f);
    }
}

// What the control file asks for: nothing (no hang), a hang now, or a hang from a tripwire on.
struct Control {
    enum Kind { None, Hang, Tripwire } kind = None;
    bool includesTrigger = false;  // "at": the matching call hangs too; "after": it is answered
    std::string op;
    std::string path;  // a trailing '*' matches any rest
};

std::atomic<bool> gTripped{false};

Control readControl() {
    Control c;
    FILE* f = std::fopen(gControl.c_str(), "r");
    if (!f) return c;
    char buf[4096];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    c.kind = Control::Hang;
    const size_t first = text.find(' ');
    const size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos) return c;  // anything else than a tripwire hangs at once
    const std::string mode = text.substr(0, first);
    if (mode != "at" && mode != "after") return c;
    c.kind = Control::Tripwire;
    c.includesTrigger = mode == "at";
    c.op = text.substr(first + 1, second - first - 1);
    c.path = text.substr(second + 1);
    return c;
}

bool matches(const Control& c, const char* op, const char* path) {
    if (c.op != op) return false;
    if (!c.path.empty() && c.path.back() == '*') return std::strncmp(path, c.path.c_str(), c.path.size() - 1) == 0;
    return c.path == path;
}

// Waits while the share is meant to hang. Once the file system is told to end, waiting calls
// fail instead, so that it can unmount.
int stall(const char* op, const char* path, bool* tripsAfter) {
    Control control = readControl();
    if (control.kind == Control::None) gTripped = false;
    if (control.kind == Control::Tripwire && !gTripped) {
        if (!matches(control, op, path)) return 0;
        noteEvent("tripped", op, path);
        if (!control.includesTrigger) {
            *tripsAfter = true;
            return 0;
        }
        gTripped = true;
    }
    bool noted = false;
    while (control.kind != Control::None) {
        if (stopping()) return -EIO;
        if (!noted) noteEvent("stalled", op, path);
        noted = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        control = readControl();
    }
    gTripped = false;
    return 0;
}

// Runs one call once the share lets it, and springs an "after" tripwire once it is answered.
template <typename Call>
int guarded(const char* op, const char* path, Call call) {
    bool tripsAfter = false;
    if (const int s = stall(op, path, &tripsAfter)) return s;
    const int result = call();
    if (tripsAfter) gTripped = true;
    return result;
}

int errnoResult(int r) { return r < 0 ? -errno : r; }

void* init(struct fuse_conn_info*, struct fuse_config* cfg) {
    // Nothing is answered from the kernel's caches: every look reaches this file system.
    cfg->use_ino = 1;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

int doGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    return guarded("getattr", path, [&] {
        if (fi) return errnoResult(fstat(static_cast<int>(fi->fh), st));
        return errnoResult(lstat(backed(path).c_str(), st));
    });
}

int doAccess(const char* path, int mask) {
    return guarded("access", path, [&] { return errnoResult(access(backed(path).c_str(), mask)); });
}

int doReadlink(const char* path, char* buf, size_t size) {
    return guarded("readlink", path, [&] {
        const ssize_t n = readlink(backed(path).c_str(), buf, size - 1);
        if (n < 0) return -errno;
        buf[n] = '\0';
        return 0;
    });
}

int doReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags) {
    return guarded("readdir", path, [&] {
        DIR* dir = opendir(backed(path).c_str());
        if (!dir) return -errno;
        while (struct dirent* e = readdir(dir)) {
            struct stat st {};
            st.st_ino = e->d_ino;
            st.st_mode = static_cast<mode_t>(DTTOIF(e->d_type));
            if (fill(buf, e->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0))) break;
        }
        closedir(dir);
        return 0;
    });
}

int doMkdir(const char* path, mode_t mode) {
    return guarded("mkdir", path, [&] { return errnoResult(mkdir(backed(path).c_str(), mode)); });
}

int doUnlink(const char* path) {
    return guarded("unlink", path, [&] { return errnoResult(unlink(backed(path).c_str())); });
}

int doRmdir(const char* path) {
    return guarded("rmdir", path, [&] { return errnoResult(rmdir(backed(path).c_str())); });
}

int doRename(const char* from, const char* to, unsigned int flags) {
    return guarded("rename", from, [&] {
        if (flags) return -EINVAL;
        return errnoResult(rename(backed(from).c_str(), backed(to).c_str()));
    });
}

int doChmod(const char* path, mode_t mode, struct fuse_file_info*) {
    return guarded("chmod", path, [&] { return errnoResult(chmod(backed(path).c_str(), mode)); });
}

int doTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
    return guarded("truncate", path, [&] {
        if (fi) return errnoResult(ftruncate(static_cast<int>(fi->fh), size));
        return errnoResult(truncate(backed(path).c_str(), size));
    });
}

int doUtimens(const char* path, const struct timespec tv[2], struct fuse_file_info*) {
    return guarded("utimens", path, [&] {
        return errnoResult(utimensat(AT_FDCWD, backed(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
    });
}

int openBacked(const char* path, int flags, mode_t mode, struct fuse_file_info* fi) {
    const int fd = open(backed(path).c_str(), flags, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doOpen(const char* path, struct fuse_file_info* fi) {
    return guarded("open", path, [&] { return openBacked(path, fi->flags, 0, fi); });
}

int doCreate(const char* path, mode_t mode, struct fuse_file_info* fi) {
    return guarded("create", path, [&] { return openBacked(path, fi->flags, mode, fi); });
}

int doRead(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return guarded("read", path, [&] {
        const ssize_t n = pread(static_cast<int>(fi->fh), buf, size, offset);
        return n < 0 ? -errno : static_cast<int>(n);
    });
}

int doWrite(const char* path, const char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    return guarded("write", path, [&] {
        const ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, offset);
        return n < 0 ? -errno : static_cast<int>(n);
    });
}

int doStatfs(const char* path, struct statvfs* st) {
    return guarded("statfs", path, [&] { return errnoResult(statvfs(backed(path).c_str(), st)); });
}

// The descriptor is always closed, even while the share hangs: the kernel does not wait for it.
int doRelease(const char*, struct fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

int doFsync(const char* path, int, struct fuse_file_info* fi) {
    return guarded("fsync", path, [&] { return errnoResult(fsync(static_cast<int>(fi->fh))); });
}

int usage() {
    std::fprintf(stderr, "usage: stallfs BACKING CONTROL MOUNTPOINT [--ready FILE] [--events FILE]\n");
    return 2;
}

bool writeReadyFile(const std::string& path) {
    const std::string partial = path + ".partial";
    FILE* f = std::fopen(partial.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
    std::fclose(f);
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    gBacking = argv[1];
    gControl = argv[2];
    const std::string mountPoint = argv[3];
    std::string ready;
    for (int i = 4; i < argc; i += 2) {
        if (i + 1 >= argc) return usage();
        if (std::strcmp(argv[i], "--ready") == 0) {
            ready = argv[i + 1];
        } else if (std::strcmp(argv[i], "--events") == 0) {
            gEvents = argv[i + 1];
        } else {
            return usage();
        }
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 1;

    struct fuse_operations ops {};
    ops.init = init;
    ops.getattr = doGetattr;
    ops.access = doAccess;
    ops.readlink = doReadlink;
    ops.readdir = doReaddir;
    ops.mkdir = doMkdir;
    ops.unlink = doUnlink;
    ops.rmdir = doRmdir;
    ops.rename = doRename;
    ops.chmod = doChmod;
    ops.truncate = doTruncate;
    ops.utimens = doUtimens;
    ops.open = doOpen;
    ops.create = doCreate;
    ops.read = doRead;
    ops.write = doWrite;
    ops.statfs = doStatfs;
    ops.release = doRelease;
    ops.fsync = doFsync;

    char* fuseArgv[] = {argv[0], nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(1, fuseArgv);
    gFuse = fuse_new(&args, &ops, sizeof ops, nullptr);
    if (!gFuse) return 1;
    if (fuse_mount(gFuse, mountPoint.c_str()) != 0) {
        fuse_destroy(gFuse);
        return 1;
    }
    int status = 1;
    if (fuse_set_signal_handlers(fuse_get_session(gFuse)) == 0) {
        // Told to end by a signal or by its parent's end: a normal end.
        if (ready.empty() || writeReadyFile(ready)) status = fuse_loop_mt(gFuse, 0) == 0 || stopping() ? 0 : 1;
        fuse_remove_signal_handlers(fuse_get_session(gFuse));
    }
    fuse_unmount(gFuse);
    fuse_destroy(gFuse);
    return status;
}
