// --compare A.json B.json: what differs between two runs' JSON reports,
// grouped as the settings, the verdict and the figures, each figure with
// its change.
#pragma once

#include <string>

namespace player {

// The comparison's text of two reports' contents; `same` tells whether
// nothing differed.  False with a message when one is not a report.
bool CompareReportTexts(const std::string& a, const std::string& b, std::string* out, bool* same,
                        std::string* error);

// Reads both files and prints the comparison.  Exit status as diff's: 0 no
// difference, 1 differences, 3 a file that cannot be read or is no report.
int CompareReports(const std::string& pathA, const std::string& pathB);

}  // namespace player
