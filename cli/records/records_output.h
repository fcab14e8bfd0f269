// How `lumo-flash records` shows records: a table for people, JSON lines and CSV for scripts
// and spreadsheets, and the summary in the same three forms.
#pragma once

#include <iosfwd>
#include <vector>

#include "cli/records/record.h"
#include "cli/records/summary.h"

namespace lumo::cli::records {

enum class OutputForm { kTable, kJson, kCsv };

void PrintRecords(std::ostream& out, const std::vector<Record>& records, OutputForm form);
void PrintSummary(std::ostream& out, const std::vector<SummaryRow>& rows, OutputForm form);

}  // namespace lumo::cli::records
