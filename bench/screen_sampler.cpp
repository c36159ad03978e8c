// Samples the centre pixel of an X screen about every millisecond and writes a line for every
// change of its colour: the time (CLOCK_MONOTONIC, nanoseconds), the colour, which of the given
// colours it is ("-" for none of them), and the microseconds since the sample before (the change
// happened within them). One 1x1 XShmGetImage per sample keeps both this
// program and the X server cheap while a player renders beside them.
//
// Usage: screen_sampler --size
//        screen_sampler [--colours RRGGBB,RRGGBB,...] [--tolerance N] [--interval-us N]
//                       [--seconds S | --changes N] [--timeout S]
//   --seconds S   end S seconds after the first sample of a given colour
//   --changes N   end after N changes from one given colour to another
//   --timeout S   give up after S seconds (exit status 3) if the end was not reached
// Ends on SIGINT or SIGTERM too. The last lines, starting with "#", say how regular the
// sampling was and how much processor time the sampler used.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(std::int64_t ns) {
    timespec ts{};
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stopRequested) {
    }
}

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};

bool parseColours(const char* text, std::vector<Rgb>& out) {
    std::string s(text);
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t comma = std::min(s.find(',', start), s.size());
        const std::string item = s.substr(start, comma - start);
        if (item.size() != 6 || item.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        const unsigned long v = std::strtoul(item.c_str(), nullptr, 16);
        out.push_back(Rgb{int(v >> 16) & 0xff, int(v >> 8) & 0xff, int(v) & 0xff});
        start = comma + 1;
    }
    return !out.empty();
}

// The index of the given colour within `tolerance` on every channel, or -1.
int classify(const Rgb& c, const std::vector<Rgb>& colours, int tolerance) {
    int best = -1;
    int bestDistance = tolerance + 1;
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const int d = std::max({std::abs(c.r - colours[i].r), std::abs(c.g - colours[i].g), std::abs(c.b - colours[i].b)});
        if (d < bestDistance) {
            best = int(i);
            bestDistance = d;
        }
    }
    return best;
}

int maskShift(unsigned long mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

int channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    const unsigned long max = mask >> maskShift(mask);
    return int(((pixel & mask) >> maskShift(mask)) * 255 / max);
}

// One pixel of the root window, through shared memory when the server offers it.
class PixelReader {
public:
    explicit PixelReader(Display* d) : display_(d), root_(DefaultRootWindow(d)) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display_, root_, &attributes);
        width_ = attributes.width;
        height_ = attributes.height;
        Visual* visual = attributes.visual;
        masks_[0] = visual->red_mask;
        masks_[1] = visual->green_mask;
        masks_[2] = visual->blue_mask;
        if (!XShmQueryExtension(display_)) return;
        image_ = XShmCreateImage(display_, visual, attributes.depth, ZPixmap, nullptr, &shm_, 1, 1);
        if (!image_) return;
        shm_.shmid = shmget(IPC_PRIVATE, std::size_t(image_->bytes_per_line) * image_->height, IPC_CREAT | 0600);
        if (shm_.shmid < 0) {
            release();
            return;
        }
        shm_.shmaddr = image_->data = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
        shmctl(shm_.shmid, IPC_RMID, nullptr);  // gone once both sides detach, even if we are killed
        if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
            shm_.shmaddr = image_->data = nullptr;
            release();
            return;
        }
        shm_.readOnly = False;
        if (!XShmAttach(display_, &shm_)) {
            release();
            return;
        }
        XSync(display_, False);
        attached_ = true;
    }
    ~PixelReader() { release(); }

    int width() const { return width_; }
    int height() const { return height_; }
    bool shared() const { return attached_; }

    bool read(Rgb& out) {
        const int x = width_ / 2, y = height_ / 2;
        unsigned long pixel = 0;
        if (attached_) {
            if (!XShmGetImage(display_, root_, image_, x, y, AllPlanes)) return false;
            pixel = XGetPixel(image_, 0, 0);
        } else {
            XImage* image = XGetImage(display_, root_, x, y, 1, 1, AllPlanes, ZPixmap);
            if (!image) return false;
            pixel = XGetPixel(image, 0, 0);
            XDestroyImage(image);
        }
        out = Rgb{channel(pixel, masks_[0]), channel(pixel, masks_[1]), channel(pixel, masks_[2])};
        return true;
    }

private:
    void release() {
        if (attached_) XShmDetach(display_, &shm_);
        attached_ = false;
        if (shm_.shmaddr) shmdt(shm_.shmaddr);
        shm_.shmaddr = nullptr;
        if (image_) {
            image_->data = nullptr;
            XDestroyImage(image_);
        }
        image_ = nullptr;
    }

    Display* display_;
    Window root_;
    int width_ = 0, height_ = 0;
    unsigned long masks_[3]{};
    XShmSegmentInfo shm_{};
    XImage* image_ = nullptr;
    bool attached_ = false;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int usage() {
    std::fprintf(stderr,
                 "usage: screen_sampler --size\n"
                 "       screen_sampler [--colours RRGGBB,...] [--tolerance N] [--interval-us N]\n"
                 "                      [--seconds S | --changes N] [--timeout S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Rgb> colours;
    int tolerance = 40;
    long intervalUs = 1000;
    double seconds = 0, timeout = 0;
    long changes = 0;
    bool sizeOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--size") {
            sizeOnly = true;
        } else if (a == "--colours" && hasValue) {
            if (!parseColours(argv[++i], colours)) return usage();
        } else if (a == "--tolerance" && hasValue) {
            tolerance = std::atoi(argv[++i]);
        } else if (a == "--interval-us" && hasValue) {
            intervalUs = std::max(100L, std::atol(argv[++i]));
        } else if (a == "--seconds" && hasValue) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--changes" && hasValue) {
            changes = std::atol(argv[++i]);
        } else if (a == "--timeout" && hasValue) {
            timeout = std::atof(argv[++i]);
        } else {
            return usage();
        }
    }

    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "screen_sampler: cannot open display %s\n", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 1;
    }
    int status = 0;
    {
        PixelReader reader(display);
        if (sizeOnly) {
            std::printf("%dx%d\n", reader.width(), reader.height());
        } else {
            struct sigaction action {};
            action.sa_handler = requestStop;
            sigaction(SIGINT, &action, nullptr);
            sigaction(SIGTERM, &action, nullptr);

            const std::int64_t interval = std::int64_t(intervalUs) * 1000;
            const std::int64_t started = nowNs();
            const double cpuAtStart = cpuSeconds();
            std::int64_t firstGiven = -1;  // first sample of a given colour
            std::vector<std::uint32_t> gapsUs;
            gapsUs.reserve(1 << 16);
            long seenChanges = 0;
            int lastClass = -1;
            Rgb last{-1, -1, -1};
            std::int64_t previous = 0;
            std::int64_t next = started;
            status = 0;
            while (!stopRequested) {
                Rgb c;
                if (!reader.read(c)) {
                    std::fprintf(stderr, "screen_sampler: reading the screen failed\n");
                    status = 1;
                    break;
                }
                const std::int64_t t = nowNs();
                const std::uint32_t gapUs =
                    previous ? std::uint32_t(std::min<std::int64_t>((t - previous) / 1000, UINT32_MAX)) : 0;
                if (previous) gapsUs.push_back(gapUs);
                previous = t;
                if (c != last) {
                    // The colour changed at most gapUs before t.
                    const int k = classify(c, colours, tolerance);
                    if (k >= 0) {
                        std::printf("%lld %02x%02x%02x %d %u\n", static_cast<long long>(t), c.r, c.g, c.b, k, gapUs);
                        if (firstGiven < 0) firstGiven = t;
                        if (lastClass >= 0 && k != lastClass) ++seenChanges;
                        lastClass = k;
                    } else {
                        std::printf("%lld %02x%02x%02x - %u\n", static_cast<long long>(t), c.r, c.g, c.b, gapUs);
                    }
                    std::fflush(stdout);
                    last = c;
                }
                if (seconds > 0 && firstGiven >= 0 && t - firstGiven >= std::int64_t(seconds * 1e9)) break;
                if (changes > 0 && seenChanges >= changes) break;
                if (timeout > 0 && t - started >= std::int64_t(timeout * 1e9)) {
                    std::fprintf(stderr, "screen_sampler: gave up after %.0f s\n", timeout);
                    status = 3;
                    break;
                }
                next += interval;
                const std::int64_t after = nowNs();
                if (next < after) next = after + interval;  // fell behind: start again from now
                sleepUntil(next);
            }
            const double wall = double(nowNs() - started) / 1e9;
            const double cpu = cpuSeconds() - cpuAtStart;
            std::sort(gapsUs.begin(), gapsUs.end());
            if (!gapsUs.empty()) {
                double sum = 0;
                for (const std::uint32_t g : gapsUs) sum += g;
                const std::size_t p99 = std::min(gapsUs.size() - 1, (gapsUs.size() * 99 + 99) / 100 - 1);
                std::printf("# sampler: %zu samples in %.1f s (%s), interval mean %.2f ms, p99 %.2f ms, max %.2f ms; "
                            "processor %.2f s (%.1f %% of a core)\n",
                            gapsUs.size() + 1, wall, reader.shared() ? "XShm" : "XGetImage", sum / double(gapsUs.size()) / 1000,
                            gapsUs[p99] / 1000.0, gapsUs.back() / 1000.0, cpu, wall > 0 ? 100 * cpu / wall : 0.0);
            }
            std::fflush(stdout);
        }
    }
    XCloseDisplay(display);
    return status;
}
