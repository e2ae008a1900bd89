// The `kestrel carve` sub-command: deleted records and earlier versions of
// rows carved from any SQLite database, with their write-ahead log or
// rollback journal when one lies beside it.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kestrel::cli {

struct CarveCommandOptions {
    std::string file;
    std::string table;
    bool json = false;
    bool csv = false;
    bool all = false;
    bool partial = false;
};

CLI::App* addCarveCommand(CLI::App& app, CarveCommandOptions& options);
int runCarveCommand(const CarveCommandOptions& options);

}  // namespace kestrel::cli
