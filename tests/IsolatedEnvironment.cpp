// Linked into every test program: the settings store and runtime folder of the tests never
// touch the real user's. Runs before main, before anything reads the environment.
#include <QByteArray>

#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

const bool kIsolated = [] {
    char pattern[] = "/tmp/vorn-tests-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) return false;
    const std::string base(dir);
    setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}();

}  // namespace
