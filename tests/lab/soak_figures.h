// What a long run of scans must give back: the figures of this process and
// of every process below it, taken after a scan, against those taken after
// the first scan.
#pragma once

#include <sys/types.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace skewmon::testing {

struct ProcessTreeFigures {
    int descriptors = 0;   // open in this process
    int threads = 0;       // of this process
    int processesBelow = 0;  // children and their children, zombies included
    // Proportional set size of this process and all below it, and its
    // anonymous part (heaps, stacks): what a leak grows, and what other
    // programs mapping the same libraries do not move.
    long pssKiB = 0;
    long pssAnonKiB = 0;
    // Bytes this process's heap has handed out and not taken back: to the
    // byte, where the PSS goes by pages.
    long heapInUse = 0;
};

// How far a figure may lie above the first scan's before it counts as
// growth: what a library may settle into in its first few scans, not what
// a scan may keep. The whole PSS is shown, not checked: it moves as other
// processes start and stop sharing the libraries.
struct SoakAllowance {
    int descriptors = 2;
    int threads = 1;
    int processesBelow = 0;
    long pssAnonKiB = 3072;
    long heapInUse = 1 << 20;
};

// The processes below `root`, found through /proc.
std::vector<pid_t> ProcessesBelow(pid_t root);
// The figures of this process and the processes below it now.
ProcessTreeFigures MeasureProcessTree();

// Waits (bounded: `limit` ms) until no more processes are below this one
// than `most`, calling `pump` between looks so that a window can finish
// what it does; then measures.
ProcessTreeFigures SettledFigures(int most, int limit, const std::function<void()>& pump);

// The figures of one run: the first scan's as the baseline, then one line
// per checkpoint printed beside it, and whatever grew beyond the allowance.
class SoakLog {
public:
    SoakLog(std::string run, std::ostream& out, SoakAllowance allowance = {});

    void first(const ProcessTreeFigures& figures);
    void checkpoint(int scans, const ProcessTreeFigures& figures);
    // One line per figure of a checkpoint that lay beyond the allowance.
    const std::vector<std::string>& growth() const { return growth_; }
    const ProcessTreeFigures& baseline() const { return baseline_; }

private:
    std::string line(int scans, const ProcessTreeFigures& figures) const;

    std::string run_;
    std::ostream& out_;
    SoakAllowance allowance_;
    ProcessTreeFigures baseline_;
    std::vector<std::string> growth_;
};

// The growth of `now` over `baseline` beyond `allowance`, one text per
// figure ("descriptors 31 > 28 + 2"); none when every figure is within it.
std::vector<std::string> GrowthBeyond(const ProcessTreeFigures& baseline, const ProcessTreeFigures& now,
                                      const SoakAllowance& allowance);

// A scan count from the environment variable `name`, else `fallback`.
int ScanCountFromEnvironment(const char* name, int fallback);

}  // namespace skewmon::testing
