#include "scan/assessment.h"

#include <cinttypes>
#include <cstdio>

#include "scan/scan_driver.h"
#include "timing/variance_text.h"

namespace skewmon {

ScanGrade GradeScan(std::int64_t worst, std::int64_t average) {
    const std::int64_t w = worst;
    const std::int64_t a = average;
    if (w <= 100) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Congratulations!  The worst variance is %" PRId64
                      " ms, and the overall average is %" PRId64
                      " ms. Your network is very well synchronized, and needs no improvement.",
                      w, a);
        return {"Outstanding!", "No change", text, Grade::kOutstanding};
    }
    if (a <= 100 && w < 500)
        return {"Excellent!", "No change",
                "Average variance < 1/10 second. Congratulations! Your network is very well "
                "synchronized. Stay with your current time sync product. If you are using Tidewell, "
                "you can do even better by adjusting the settings.",
                Grade::kExcellent};
    if (a <= 250 && w < 1000)
        return {"Acceptable", "Check settings",
                "Average variance < 1/4 second. Can be improved. Consider using a different time "
                "sync product, or adjusting the parameters of your current product. If you are "
                "using Tidewell, try setting the target variance lower.",
                Grade::kAcceptable};
    if (a <= 1000 && w < 2000)
        return {"Fair", "Check Settings",
                "Average variance < 1 second. Should be improved. Consider using a different time "
                "sync product, or adjusting the parameters of your current product. If you are "
                "using Tidewell, try setting the target variance lower or using a heartbeat.",
                Grade::kFair};
    if (a <= 2000 && w < 5000)
        return {"Poor", "Needs Improvement",
                "All machines within a few seconds. Check for hardware or network failures if only "
                "one or two machines are off by this much, otherwise consider using a different "
                "time sync product, or adjusting the parameters of your current product.",
                Grade::kPoor};
    if (a <= 60000)
        return {"Unacceptable", "Install Tidewell",
                "All machines < 1 minute. Variances this large will cause problems with SQL Server, "
                "email systems, Kerberos authentication, and anything else that relies on a "
                "date-time stamp for proper operation.",
                Grade::kUnacceptable};
    return {"Not synchronized", "Install Tidewell",
            "If you are using a time synchronization product, make sure it is properly installed "
            "on all machines. If this is the best your time sync product can do, replace it. "
            "Variances this large will interfere with Kerberos authentication, SQL Server, email "
            "systems, directory replication, and anything else that relies on a date-time stamp "
            "for proper operation.",
            Grade::kNotSynchronized};
}

ScanGrade NoGrade() { return {"N/A", "N/A", "No machines responded", Grade::kNone}; }

void AssessScan(ScanJob& job) {
    ScanView& dialog = job.dialog;
    ScanState& s = job.figures;

    dialog.setText(ctl::kResultsGroup, "Results");
    dialog.setText(ctl::kScan, "Re&scan");

    if (s.count == 0) {
        const ScanGrade none = NoGrade();
        dialog.setText(ctl::kSummary, none.grade);
        dialog.setText(ctl::kRecommendation, none.recommendation);
        dialog.setText(ctl::kExplanation, none.explanation);
        dialog.setText(ctl::kWorst, "N/A");
        dialog.setText(ctl::kAverage, "N/A");
        s.average = 0;
    } else {
        if (s.sum < 0) s.sum = -s.sum;
        s.average = s.sum / s.count;
        dialog.setText(ctl::kWorst, VarianceText(s.worst));
        dialog.setText(ctl::kAverage, VarianceText(s.average));
        if (job.app.boldFont) dialog.setFont(ctl::kSummary, job.app.boldFont.get());
        const ScanGrade grade = GradeScan(s.worst, s.average);
        dialog.setText(ctl::kSummary, grade.grade);
        dialog.setText(ctl::kRecommendation, grade.recommendation);
        dialog.setText(ctl::kExplanation, grade.explanation);
    }

    // In one turn of the dialog's thread: the scan is over, Close closes again,
    // and only now may a report or a new scan begin. Enabling Scan and Save
    // Results earlier would let either overlap the writes above.
    dialog.runOnDialogThread([&] {
        job.closed();
        dialog.setText(ctl::kClose, "&Close");
        dialog.enable(ctl::kScan, true);
        dialog.enable(ctl::kSaveResults, true);
    });
}

}  // namespace skewmon
