// The monitoring ecosystem's own readers of the console's formats: promtool
// for the Prometheus text, Monitoring::Plugin for the check line's
// performance data, Python's csv module for CSV. Each runs on this machine
// (never a server) on what a test hands it.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/screenless.h"

#ifndef SKEWMON_TEST_TOOLS
#error "SKEWMON_TEST_TOOLS: the folder of tests/tools"
#endif

namespace skewmon::testing {

struct ToolRun {
    int status = -1;     // the tool's exit status; -1 when it did not run
    std::string output;  // standard output and error together
};

// Runs `command` (a shell command line of the test's own) with the files it
// names already written; its output comes back.
inline ToolRun RunTool(const std::string& command, const ScratchFolder& folder) {
    const std::filesystem::path output = folder.path() / "tool-output.txt";
    const std::string line = "cd '" + folder.path().string() + "' && " + command + " > '" + output.string() + "' 2>&1";
    const int raw = std::system(line.c_str());
    ToolRun run;
    if (raw != -1 && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    std::ifstream in(output, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    run.output = text.str();
    return run;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// promtool's verdict on an exposition: status 0 and no complaint when it
// passes.
inline ToolRun PromtoolCheck(const std::string& exposition) {
    ScratchFolder folder("skewmon-promtool");
    WriteFile(folder.path() / "metrics.prom", exposition);
    return RunTool("promtool check metrics < metrics.prom", folder);
}

// The labels Monitoring::Plugin::Performance parses from a check line, in
// order; the last line of the output says how many.
inline std::vector<std::string> PerfdataLabels(const std::string& checkLine, int* status = nullptr) {
    ScratchFolder folder("skewmon-perfdata");
    WriteFile(folder.path() / "line.txt", checkLine);
    const ToolRun run = RunTool(std::string("perl ") + SKEWMON_TEST_TOOLS + "/perfdata_items.pl < line.txt", folder);
    if (status) *status = run.status;
    std::vector<std::string> labels;
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("items ", 0) != 0) labels.push_back(line);
    return labels;
}

// What differs between a CSV report and the JSON document of the same scan,
// as Python reads them; empty when nothing does.
inline ToolRun CsvAgainstJson(const std::string& csv, const std::string& json) {
    ScratchFolder folder("skewmon-csv");
    WriteFile(folder.path() / "report.csv", csv);
    WriteFile(folder.path() / "report.json", json);
    return RunTool(std::string("/usr/bin/python3 ") + SKEWMON_TEST_TOOLS + "/csv_matches_json.py report.csv report.json", folder);
}

}  // namespace skewmon::testing
