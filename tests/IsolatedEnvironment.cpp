// Linked into every test program: the settings store, runtime folder, home, caches and temporary
// files of the tests never touch the real user's, and all of them live in one folder that goes
// when the program ends. Runs before main, before anything reads the environment.
#include "TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string gFolder;
pid_t gOwner = 0;

int openUp(const char* path, const struct stat* st, int type, struct FTW*) {
    // A test may leave a folder without write or search permission; its entries must still go.
    if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
    return 0;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

void removeFolder() {
    // Forked children that end through exit() must not take the folder from their parent.
    if (gFolder.empty() || getpid() != gOwner) return;
    nftw(gFolder.c_str(), openUp, 16, FTW_PHYS);
    nftw(gFolder.c_str(), removeEntry, 16, FTW_PHYS | FTW_DEPTH);
}

void setFolderVariable(const char* name, const std::string& path) {
    mkdir(path.c_str(), 0700);
    setenv(name, path.c_str(), 1);
}

bool isDeathTestChild() {
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    for (std::string argument; std::getline(cmdline, argument, '\0');) {
        if (argument.rfind("--gtest_internal_run_death_test", 0) == 0) return true;
    }
    return false;
}

const bool kIsolated = [] {
    // A death test's child is this program run again: it works in its parent's folder and leaves
    // it to the parent, since a child that aborts removes nothing.
    const char* parents = getenv("VORN_TEST_FOLDER");
    struct stat st {};
    if (isDeathTestChild() && parents && stat(parents, &st) == 0 && S_ISDIR(st.st_mode)) {
        gFolder = parents;
    } else {
        char pattern[] = "/tmp/vorn-tests-XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (!dir) return false;
        gFolder = dir;
        gOwner = getpid();
        std::atexit(removeFolder);
        setenv("VORN_TEST_FOLDER", dir, 1);
    }
    // X clients find the display's cookie through the home unless told where it is.
    const char* home = getenv("HOME");
    if (home && !getenv("XAUTHORITY")) {
        const std::string cookie = std::string(home) + "/.Xauthority";
        if (access(cookie.c_str(), R_OK) == 0) setenv("XAUTHORITY", cookie.c_str(), 1);
    }
    setenv("XDG_CONFIG_HOME", (gFolder + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", gFolder.c_str(), 1);
    setFolderVariable("HOME", gFolder + "/home");
    setFolderVariable("XDG_CACHE_HOME", gFolder + "/cache");
    setFolderVariable("TMPDIR", gFolder + "/tmp");
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}();

}  // namespace

QString test::isolatedFolder() { return QString::fromStdString(gFolder); }
