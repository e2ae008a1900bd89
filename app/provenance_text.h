// The sentence that tells a reader where a recovered record was found, for
// the preview of a carved record: "Recovered from free page 1,234, offset 416".
#pragma once

#include <cstdint>
#include <string>

#include "app/records.h"

namespace kestrel {

// A number with a comma between each group of three digits: 1234567 -> "1,234,567".
std::string groupedNumber(int64_t value);

// The sentence for a record's provenance; empty when it has none (a record
// read from a live table). Names the area and page, the byte offset in its
// file, the log frame and commit, and the file when it is not the database.
std::string provenanceText(const Provenance& provenance);

}  // namespace kestrel
