// Records as CSV (RFC 4180): a header line of the JSON field names, then one line per record,
// lines ending in CRLF. A field holding a comma, a quote, CR or LF is quoted, its quotes
// doubled; a null is an empty field.
#pragma once

#include <string>
#include <string_view>

#include "cli/records/record.h"

namespace lumo::cli::records {

std::string CsvField(std::string_view value);
std::string RecordsCsvHeader();
std::string RecordCsvLine(const Record& record);

}  // namespace lumo::cli::records
