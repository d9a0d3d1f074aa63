#include "tests/lab/soak_figures.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/lab/lab_support.h"

namespace skewmon::testing {
namespace {

namespace fs = std::filesystem;

// The parent of every process, as /proc shows it now; a process that goes
// while it is read is left out.
std::multimap<pid_t, pid_t> ChildrenByParent() {
    std::multimap<pid_t, pid_t> children;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("PPid:", 0) != 0) continue;
            children.emplace(static_cast<pid_t>(std::atol(line.c_str() + 5)),
                             static_cast<pid_t>(std::atol(name.c_str())));
            break;
        }
    }
    return children;
}

// The Pss and Pss_Anon lines of /proc/PID/smaps_rollup, in KiB; nothing
// for a zombie or a process gone.
void AddPss(pid_t pid, ProcessTreeFigures& figures) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind("Pss:", 0) == 0) figures.pssKiB += std::atol(line.c_str() + 4);
        else if (line.rfind("Pss_Anon:", 0) == 0) figures.pssAnonKiB += std::atol(line.c_str() + 9);
    }
}

std::string Signed(long value) { return (value >= 0 ? "+" : "") + std::to_string(value); }

}  // namespace

std::vector<pid_t> ProcessesBelow(pid_t root) {
    const std::multimap<pid_t, pid_t> children = ChildrenByParent();
    std::vector<pid_t> below;
    std::vector<pid_t> parents{root};
    // A pid cannot be its own ancestor, but a reused one read mid-change
    // could seem so: the walk is bounded by the number of processes.
    for (std::size_t steps = 0; !parents.empty() && steps <= children.size(); ++steps) {
        const pid_t parent = parents.back();
        parents.pop_back();
        const auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            below.push_back(it->second);
            parents.push_back(it->second);
        }
    }
    return below;
}

ProcessTreeFigures MeasureProcessTree() {
    ProcessTreeFigures figures;
    figures.descriptors = OpenDescriptorCount();
    figures.threads = ThreadCount();
    const std::vector<pid_t> below = ProcessesBelow(getpid());
    figures.processesBelow = static_cast<int>(below.size());
    const struct mallinfo2 heap = mallinfo2();  // every arena, and blocks of their own
    figures.heapInUse = static_cast<long>(heap.uordblks + heap.hblkhd);
    AddPss(getpid(), figures);
    for (pid_t pid : below) AddPss(pid, figures);
    return figures;
}

ProcessTreeFigures SettledFigures(int most, int limit, const std::function<void()>& pump) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
        if (pump) pump();
        const ProcessTreeFigures figures = MeasureProcessTree();
        if (figures.processesBelow <= most || Clock::now() >= end) return figures;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> GrowthBeyond(const ProcessTreeFigures& baseline, const ProcessTreeFigures& now,
                                      const SoakAllowance& allowance) {
    std::vector<std::string> growth;
    auto check = [&](const char* what, long first, long later, long allowed) {
        if (later > first + allowed)
            growth.push_back(std::string(what) + " " + std::to_string(later) + " > " + std::to_string(first) +
                             " + " + std::to_string(allowed));
    };
    check("descriptors", baseline.descriptors, now.descriptors, allowance.descriptors);
    check("threads", baseline.threads, now.threads, allowance.threads);
    check("processes below", baseline.processesBelow, now.processesBelow, allowance.processesBelow);
    check("anonymous PSS KiB", baseline.pssAnonKiB, now.pssAnonKiB, allowance.pssAnonKiB);
    check("heap bytes in use", baseline.heapInUse, now.heapInUse, allowance.heapInUse);
    return growth;
}

SoakLog::SoakLog(std::string run, std::ostream& out, SoakAllowance allowance)
    : run_(std::move(run)), out_(out), allowance_(allowance) {}

void SoakLog::first(const ProcessTreeFigures& figures) {
    baseline_ = figures;
    out_ << line(1, figures) << std::endl;
}

void SoakLog::checkpoint(int scans, const ProcessTreeFigures& figures) {
    out_ << line(scans, figures) << std::endl;
    for (const std::string& grown : GrowthBeyond(baseline_, figures, allowance_))
        growth_.push_back(run_ + " after scan " + std::to_string(scans) + ": " + grown);
}

std::string SoakLog::line(int scans, const ProcessTreeFigures& now) const {
    const ProcessTreeFigures& first = baseline_;
    std::ostringstream text;
    text << run_ << " scan " << scans << ": descriptors " << now.descriptors << " (first " << first.descriptors
         << "), threads " << now.threads << " (" << first.threads << "), processes below " << now.processesBelow
         << " (" << first.processesBelow << "), PSS " << now.pssKiB << " KiB (" << first.pssKiB << ", "
         << Signed(now.pssKiB - first.pssKiB) << "), anonymous " << now.pssAnonKiB << " KiB ("
         << first.pssAnonKiB << ", " << Signed(now.pssAnonKiB - first.pssAnonKiB) << "), heap in use "
         << now.heapInUse << " B (" << first.heapInUse << ", " << Signed(now.heapInUse - first.heapInUse) << ")";
    return text.str();
}

int ScanCountFromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    if (!value || !*value) return fallback;
    char* end = nullptr;
    const long count = std::strtol(value, &end, 10);
    return (*end == '\0' && count > 0 && count <= 100000) ? static_cast<int>(count) : fallback;
}

}  // namespace skewmon::testing
