#include "scan/scan_driver.h"

#include <cstring>

#include "platform/text.h"
#include "scan/assessment.h"
#include "scan/parallel_scan.h"
#include "text/text_util.h"
#include "timing/remote_time.h"
#include "timing/variance_text.h"

namespace skewmon {
namespace {

constexpr std::uint32_t kBrowseBufferOffered = 65534;
constexpr std::uint32_t kBrowseAllEntries = 0xFFFFFFFF;

// Passes queries through and remembers the last measurement read whole:
// CheckMachine hands back the offset alone.
class MeasurementRecorder final : public platform::TimeQueryRunner {
public:
    explicit MeasurementRecorder(platform::TimeQueryRunner& runner) : runner_(runner) {}

    std::unique_ptr<platform::PendingQuery> start(const std::string& serverName, bool inlineMode) override {
        std::unique_ptr<platform::PendingQuery> query = runner_.start(serverName, inlineMode);
        if (!query) return nullptr;
        return std::make_unique<Recorded>(std::move(query), measured_);
    }
    const Measurement& measured() const { return measured_; }

private:
    class Recorded final : public platform::PendingQuery {
    public:
        Recorded(std::unique_ptr<platform::PendingQuery> query, Measurement& measured)
            : query_(std::move(query)), measured_(measured) {}
        platform::QueryWait wait(std::optional<std::chrono::milliseconds> limit,
                                 const std::atomic<bool>& stop) override {
            return query_->wait(limit, stop);
        }
        Offset result() override {
            measured_ = query_->measurement();
            return measured_.offset;
        }
        MeasurementMethod method() override { return query_->method(); }
        Measurement measurement() override { return query_->measurement(); }

    private:
        std::unique_ptr<platform::PendingQuery> query_;
        Measurement& measured_;
    };

    platform::TimeQueryRunner& runner_;
    Measurement measured_;
};

}  // namespace

std::string NormaliseListLine(std::string_view piece) {
    std::size_t start = 0;
    while (start < piece.size() && IsBlank(piece[start])) ++start;
    std::string name(piece.substr(start));
    // The first character stays even when blank; the loop above leaves none.
    while (name.size() > 1 && IsBlank(name.back())) name.pop_back();
    platform::UpperCaseInPlace(name);
    std::size_t slashes = 0;
    while (slashes < name.size() && name[slashes] == '\\') ++slashes;
    name.erase(0, slashes);
    if (name.empty() || !IsAsciiAlnum(name.front())) return {};
    return CutToCapacity(name, kMachineNameCapacity);
}

void ReadListMachines(std::FILE* file, const std::atomic<bool>& stop,
                      const std::function<void(const std::string&)>& process) {
    std::rewind(file);  // every scan reads the whole file again
    char piece[kListPieceCapacity];
    while (!stop && !std::feof(file)) {
        if (!std::fgets(piece, sizeof piece, file)) break;  // end of file or read error
        const std::string name = NormaliseListLine(std::string_view(piece, std::strlen(piece)));
        if (!name.empty()) process(name);
    }
}

void BrowseMachines(platform::NetworkBrowser& browser, const std::string& domain,
                    const std::string& provider, const std::atomic<bool>& stop,
                    const std::function<void(const std::string&)>& process) {
    platform::NetResourceRequest request;
    request.remoteName = domain;
    request.provider = provider;
    std::unique_ptr<platform::NetworkEnumeration> enumeration = browser.open(request);
    if (!enumeration) return;

    std::vector<platform::NetResourceEntry> entries;
    while (!stop) {
        const std::uint32_t status = enumeration->fetch(kBrowseBufferOffered, kBrowseAllEntries, entries);
        if (status != 0 && status != platform::kStatusMoreData) break;
        // A batch without entries cannot be followed by more; stopping here
        // keeps a misbehaving source from holding the scan forever.
        if (entries.empty()) break;
        for (const platform::NetResourceEntry& entry : entries) {
            if (stop) return;
            if (entry.displayType != platform::kResourceDisplayServer) continue;
            // Without the two leading characters nothing may be left: such an
            // entry names no machine, and an empty name would pass for this
            // machine when its own name cannot be read.
            const std::string_view remote = entry.remoteName;
            if (remote.size() <= 2) continue;
            process(CutToCapacity(remote.substr(2), kMachineNameCapacity));
        }
    }
}

void AddResultRow(ScanView& dialog, std::string_view row, bool local) {
    const int index = dialog.listAdd(ctl::kResultsList, row);
    if (index < 0) return;
    if (local) dialog.listSelect(ctl::kResultsList, index);
    dialog.repaintNow(ctl::kResultsList);
    if (index > 0) dialog.listSetTop(ctl::kResultsList, index - 1);
}

MachineResult MakeMachineResult(const std::string& name, bool local, const Measurement& measured) {
    MachineResult result{name, local, local ? 0 : measured.offset, measured.method, name};
    if (!local && measured.offset != kNoResponse) {
        result.roundTripMs = measured.roundTripMs;
        result.resolutionMs = measured.resolutionMs;
    }
    std::string& row = result.row;
    if (local) {
        row.append("\t+\t").append(VarianceText(0));
    } else if (measured.offset == kNoResponse) {
        row.append("\t").append(kNoResponseText);
    } else {
        const Offset r = measured.offset;
        row.append(r < 0 ? "\t-\t" : "\t+\t").append(VarianceText(r < 0 ? -r : r));
    }
    row = CutToCapacity(row, kRowCapacity);
    return result;
}

void RecordMachine(ScanJob& job, MachineResult result) {
    ScanState& figures = job.figures;
    if (result.local) {
        ++figures.count;
    } else if (result.offset != kNoResponse) {
        figures.sum += result.offset;
        ++figures.count;
        const std::int64_t m = result.offset < 0 ? -result.offset : result.offset;
        if (m > figures.worst) figures.worst = m;
    }
    AddResultRow(job.dialog, result.row, result.local);
    figures.machines.push_back(std::move(result));
}

void ProcessMachine(ScanJob& job, const std::string& name) {
    const bool local = SameNameIgnoringCase(name, job.localComputerName);
    Measurement measured{0, MeasurementMethod::kTimeOfDay};
    if (!local) {
        MeasurementRecorder recorder(job.timeQueries);
        QueryContext query{job.dialog, recorder, job.app.inlineMode, job.stop};
        const Offset offset = CheckMachine(query, name);
        if (job.stop) return;  // cancelled while waiting: this scan adds nothing more
        // What CheckMachine took is what counts: a query given up has no answer.
        measured = offset == kNoResponse ? Measurement{} : recorder.measured();
        measured.offset = offset;
    }
    MachineResult result = MakeMachineResult(name, local, measured);
    if (job.figures.onMachine) job.figures.onMachine(result);
    RecordMachine(job, std::move(result));
}

void ScanThread(ScanJob& job) {
    job.figures.worst = 0;
    job.figures.count = 0;
    job.figures.sum = 0;
    job.figures.machines.clear();

    std::string heading = "Variance from " + job.localComputerName + " yy-ddd-hh:mm:ss.mss (+/- 10 ms)";
    job.dialog.setText(ctl::kHeading, CutToCapacity(heading, kRowCapacity));

    std::string domain;
    const int selected = job.dialog.comboSelected(ctl::kDomainSelector);
    if (selected >= 0) domain = job.dialog.comboText(ctl::kDomainSelector, selected, kRowCapacity);
    job.figures.domain = job.app.machineListFile ? std::string() : domain;

    // Said once per scan, before its first machine, so that rows without an
    // answer do not go without their reason.
    job.figures.queryProblem = job.timeQueries.beginScan(job.stop);
    if (!job.figures.queryProblem.empty())
        job.dialog.messageBox(job.figures.queryProblem, "Skewmon Error", platform::MessageIcon::kWarning, true);

    auto walk = [&](const std::function<void(const std::string&)>& process) {
        if (job.app.machineListFile)
            ReadListMachines(job.app.machineListFile.get(), job.stop, process);
        else
            BrowseMachines(job.browser, domain, job.app.networkProviderName, job.stop, process);
    };
    if (job.figures.parallelQueries > 1) {
        std::vector<std::string> names;
        walk([&](const std::string& name) { names.push_back(name); });
        if (!job.stop) ScanMachinesTogether(job, names);
    } else {
        walk([&](const std::string& name) { ProcessMachine(job, name); });
    }
    job.timeQueries.endScan();  // nothing the queries used outlives the scan

    if (job.stop) return;  // a cancelled scan does not close
    AssessScan(job);
}

}  // namespace skewmon
