// Existing contacts: the persons of the address book read with SQL.
#pragma once

#include <string>

#include "app/record_sink.h"

namespace kestrel {

// Reads every person of the address-book database at `dbPath`, each with its
// phone numbers, e-mail addresses, addresses and web pages appended in row
// order, and posts it (postContact) in person-row order. A database that
// cannot be opened or read gives no contacts; every failure (open, prepare,
// a step that ends with an error) is logged and told to the sink
// (postReadFailure). A locked database is waited for kBusyTimeoutMilliseconds.
void readExistingContacts(const std::string& dbPath, RecordSink& sink);

}  // namespace kestrel
