// One scan: the walk over the machines of a source, one result row per
// machine, and the closing assessment.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/browse.h"
#include "platform/time_query.h"
#include "scan/scan_view.h"
#include "state/app_state.h"
#include "state/scan_state.h"

namespace skewmon {

inline constexpr std::size_t kMachineNameCapacity = 256;
inline constexpr std::size_t kRowCapacity = 512;
inline constexpr std::size_t kListPieceCapacity = 255;  // 254 characters and the terminator
inline constexpr char kNoResponseText[] = "No response or excessive latency";

struct ScanJob {
    const AppState& app;
    ScanState& figures;
    const std::string& localComputerName;
    ScanView& dialog;
    platform::TimeQueryRunner& timeQueries;
    platform::NetworkBrowser& browser;
    const std::atomic<bool>& stop;
    // Run on the dialog's thread by the closing step, in the turn that
    // enables Scan and Save Results again: the scan is over.
    std::function<void()> closed;
};

// The thread body of a scan.
void ScanThread(ScanJob& job);

// The walks, calling `process` once per machine name in source order. They
// end early when `stop` becomes true.
void ReadListMachines(std::FILE* file, const std::atomic<bool>& stop,
                      const std::function<void(const std::string&)>& process);
void BrowseMachines(platform::NetworkBrowser& browser, const std::string& domain,
                    const std::string& provider, const std::atomic<bool>& stop,
                    const std::function<void(const std::string&)>& process);

// Normalises one piece of a list-file line into a machine name; empty when
// the line is to be ignored.
std::string NormaliseListLine(std::string_view piece);

void ProcessMachine(ScanJob& job, const std::string& name);
void AddResultRow(ScanView& dialog, std::string_view row, bool local);

// One machine's result and its row: the local machine counted as 0, else
// what was measured (kNoResponse: no usable answer).
MachineResult MakeMachineResult(const std::string& name, bool local, const Measurement& measured);
// Adds a machine to the scan's figures and record, and lists its row.
void RecordMachine(ScanJob& job, MachineResult result);

}  // namespace skewmon
