// Grading a finished scan and its closing writes into the dialog.
#pragma once

#include <cstdint>
#include <string>

namespace skewmon {

struct ScanJob;

// The rungs of the grade ladder, best first; kNone when no machine counted.
enum class Grade { kNone, kOutstanding, kExcellent, kAcceptable, kFair, kPoor, kUnacceptable, kNotSynchronized };

struct ScanGrade {
    std::string grade;
    std::string recommendation;
    std::string explanation;
    Grade level = Grade::kNone;
};

// What a scan that counted no machine shows: "N/A" and why.
ScanGrade NoGrade();

// Maps the worst and the average variance (milliseconds, never negative) to
// the grade, the recommendation and the explanation.
ScanGrade GradeScan(std::int64_t worst, std::int64_t average);

// The closing step of a scan that was not cancelled.
void AssessScan(ScanJob& job);

}  // namespace skewmon
