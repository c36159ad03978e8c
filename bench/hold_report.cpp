// Reads what screen_sampler saw while a player cycled through clips of one colour each, and says
// how long the last frame of each item stayed beyond its time at every change:
//   hold = first sample of the next colour - first sample of this colour - this clip's duration.
// Colours are given in the order the clips should play (the list wraps around). A change to any
// other colour is counted as out of order; a sample of neither colour between the two is a black
// frame. With a list of the items the player loaded, a change out of a clip that played twice in
// a row is left out (its colour stayed for two durations).
//
// Usage: hold_report --clips N --duration-ms D [--skip N] --run LABEL SAMPLES [ITEMS] [--run ...]
//   SAMPLES  screen_sampler's output
//   ITEMS    the clip index of each item loaded after the first, one a line ("-": none known)
//   --skip   the changes after start-up that are left out (default 2)
// With two runs, the last line gives the ratio of their medians (first / second).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Line {
    std::int64_t t;
    std::string rgb;
    int clip;          // -1: none of the clips' colours
    double gapMs = 0;  // since the sample before: the colour changed within it
};

struct Other {
    std::string rgb;
    double ms;
};

struct Change {
    int from, to;
    std::int64_t fromFirst, toFirst;  // first samples of each colour
    double fromGapMs, toGapMs;        // how late each first sample may be
    std::vector<Other> between;
};

struct Run {
    std::string label;
    std::string samples;
    std::string items;
};

struct Result {
    bool ok = false;
    double median = 0;
};

bool readSamples(const std::string& path, std::vector<Line>& out) {
    std::ifstream in(path);
    if (!in) return false;
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream fields(text);
        Line line;
        std::string clip;
        if (!(fields >> line.t >> line.rgb >> clip)) continue;
        line.clip = clip == "-" ? -1 : std::atoi(clip.c_str());
        long gapUs = 0;
        if (fields >> gapUs) line.gapMs = double(gapUs) / 1000;
        out.push_back(line);
    }
    return true;
}

std::vector<int> readItems(const std::string& path) {
    std::vector<int> items;
    std::ifstream in(path);
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty()) continue;
        items.push_back(text.find_first_not_of("0123456789") == std::string::npos ? std::atoi(text.c_str()) : -2);
    }
    return items;
}

// The changes from one clip's colour to another's, from the first clip colour on. Other colours
// between two samples of the same clip are glitches within an item, not changes.
std::vector<Change> changesOf(const std::vector<Line>& lines, std::vector<Other>& withinItems) {
    std::vector<Change> changes;
    std::vector<Other> pending;
    int current = -1;
    std::int64_t currentFirst = 0;
    double currentGapMs = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        if (l.clip < 0) {
            if (current >= 0) {
                const double ms = i + 1 < lines.size() ? double(lines[i + 1].t - l.t) / 1e6 : 0;
                pending.push_back(Other{l.rgb, ms});
            }
            continue;
        }
        if (current < 0) {
            current = l.clip;
            currentFirst = l.t;
            currentGapMs = l.gapMs;
        } else if (l.clip == current) {
            withinItems.insert(withinItems.end(), pending.begin(), pending.end());
        } else {
            changes.push_back(Change{current, l.clip, currentFirst, l.t, currentGapMs, l.gapMs, pending});
            current = l.clip;
            currentFirst = l.t;
            currentGapMs = l.gapMs;
        }
        pending.clear();
    }
    return changes;
}

double percentile(std::vector<double> v, double p) {  // nearest rank
    std::sort(v.begin(), v.end());
    const std::size_t rank = std::size_t(std::ceil(p * double(v.size())));
    return v[std::min(v.size() - 1, rank ? rank - 1 : 0)];
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Result report(const Run& run, int clips, double durationMs, int skip) {
    Result result;
    std::vector<Line> lines;
    if (!readSamples(run.samples, lines)) {
        std::printf("%s: cannot read %s\n", run.label.c_str(), run.samples.c_str());
        return result;
    }
    std::vector<Other> withinItems;
    const std::vector<Change> changes = changesOf(lines, withinItems);

    // Which changes leave a clip that the player loaded twice or more in a row: the colours seen,
    // one per run of equal items, must match the items loaded.
    std::vector<int> repeatsOf(changes.size() + 1, 1);
    bool itemsKnown = false;
    std::size_t itemsMatched = 0;
    if (!run.items.empty() && run.items != "-" && !changes.empty()) {
        std::vector<int> items = readItems(run.items);
        items.insert(items.begin(), changes.front().from);  // the first item is what showed first
        std::vector<std::pair<int, int>> runs;               // clip, times in a row
        for (const int item : items) {
            if (!runs.empty() && runs.back().first == item) {
                ++runs.back().second;
            } else {
                runs.push_back({item, 1});
            }
        }
        itemsKnown = true;
        for (std::size_t m = 0; m <= changes.size() && m < runs.size(); ++m) {
            const int seen = m == 0 ? changes.front().from : changes[m - 1].to;
            if (seen != runs[m].first) {
                std::printf("%s: the colours seen differ from the items loaded from item %zu on\n", run.label.c_str(), m);
                break;
            }
            repeatsOf[m] = runs[m].second;
            itemsMatched = m + 1;
        }
    }

    std::vector<double> holds;
    double worstGapMs = 0;  // the most a measured hold may be off by
    int sameClip = 0, outOfOrder = 0, startup = 0, black = 0, unchecked = 0;
    double longestBlack = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        const double hold = double(c.toFirst - c.fromFirst) / 1e6 - durationMs;
        if (int(i) < skip) {
            ++startup;
            continue;
        }
        if (repeatsOf[i] > 1) {
            ++sameClip;
            std::printf("%s:   change %zu left out: clip %d played %d times in a row (%.0f ms)\n", run.label.c_str(), i,
                        c.from, repeatsOf[i], hold + durationMs);
            continue;
        }
        if (c.to != (c.from + 1) % clips) {
            ++outOfOrder;
            std::printf("%s:   change %zu left out: clip %d to clip %d, expected clip %d\n", run.label.c_str(), i, c.from,
                        c.to, (c.from + 1) % clips);
            continue;
        }
        if (itemsKnown && i >= itemsMatched) ++unchecked;
        for (const Other& o : c.between) {
            ++black;
            longestBlack = std::max(longestBlack, o.ms);
            std::printf("%s:   change %zu: %s for %.1f ms between clip %d and clip %d\n", run.label.c_str(), i,
                        o.rgb.c_str(), o.ms, c.from, c.to);
        }
        holds.push_back(hold);
        worstGapMs = std::max({worstGapMs, c.fromGapMs, c.toGapMs});
    }
    for (const Other& o : withinItems) {
        std::printf("%s:   %s for %.1f ms within an item\n", run.label.c_str(), o.rgb.c_str(), o.ms);
    }
    if (unchecked) {
        std::printf("%s:   %d changes past the items loaded: not checked for a clip after itself\n", run.label.c_str(),
                    unchecked);
    }
    if (holds.empty()) {
        std::printf("%-6s no change measured (%zu seen)\n", run.label.c_str(), changes.size());
        return result;
    }
    result.ok = true;
    result.median = median(holds);
    std::printf("%-6s changes %3zu  hold median %6.1f ms  p90 %6.1f ms  max %6.1f ms  black frames %d",
                run.label.c_str(), holds.size(), result.median, percentile(holds, 0.9),
                *std::max_element(holds.begin(), holds.end()), black);
    if (black) std::printf(" (longest %.1f ms)", longestBlack);
    std::printf("\n%-6s left out: %d at start, %d clip after itself, %d out of order%s; sampling gap at a change <= %.1f ms\n",
                "", startup, sameClip, outOfOrder, itemsKnown ? "" : " (items loaded not known)", worstGapMs);
    return result;
}

int usage() {
    std::fprintf(stderr, "usage: hold_report --clips N --duration-ms D [--skip N] --run LABEL SAMPLES [ITEMS] ...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int clips = 0, skip = 2;
    double durationMs = 0;
    std::vector<Run> runs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--clips" && i + 1 < argc) {
            clips = std::atoi(argv[++i]);
        } else if (a == "--duration-ms" && i + 1 < argc) {
            durationMs = std::atof(argv[++i]);
        } else if (a == "--skip" && i + 1 < argc) {
            skip = std::atoi(argv[++i]);
        } else if (a == "--run" && i + 2 < argc) {
            Run run{argv[i + 1], argv[i + 2], ""};
            i += 2;
            if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) run.items = argv[++i];
            runs.push_back(run);
        } else {
            return usage();
        }
    }
    if (clips < 2 || durationMs <= 0 || runs.empty()) return usage();

    std::vector<Result> results;
    for (const Run& run : runs) results.push_back(report(run, clips, durationMs, skip));
    if (results.size() == 2 && results[0].ok && results[1].ok && results[1].median > 0) {
        std::printf("ratio %s/%s of the medians: %.2f\n", runs[0].label.c_str(), runs[1].label.c_str(),
                    results[0].median / results[1].median);
    }
    for (const Result& r : results) {
        if (!r.ok) return 1;
    }
    return 0;
}
