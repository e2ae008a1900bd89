#include "cli/carve_command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "carve/page_carver.h"
#include "cli/output.h"

namespace kestrel::cli {

namespace {

using carving::CarvedRecord;
using carving::Value;
using carving::ValueKind;

std::string hexOf(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 0x0F]);
    }
    return out;
}

nlohmann::ordered_json valueToJson(const Value& v) {
    switch (v.kind) {
        case ValueKind::Null: return nullptr;
        case ValueKind::Integer: return v.integer;
        case ValueKind::Real: return v.real;
        case ValueKind::Text: return v.bytes;
        case ValueKind::Blob: {
            nlohmann::ordered_json blob;
            blob["hex"] = hexOf(v.bytes);
            return blob;
        }
    }
    return nullptr;
}

nlohmann::ordered_json recordToJson(const CarvedRecord& r) {
    nlohmann::ordered_json j;
    j["table"] = r.table;
    j["rowid"] = r.rowid ? nlohmann::ordered_json(*r.rowid) : nlohmann::ordered_json(nullptr);
    nlohmann::ordered_json values = nlohmann::ordered_json::array();
    for (const Value& v : r.values) values.push_back(valueToJson(v));
    j["values"] = std::move(values);
    j["status"] = r.status;
    if (r.lostFrom) j["lost_from"] = *r.lostFrom;
    nlohmann::ordered_json p;
    p["file"] = r.provenance.file;
    p["area"] = r.provenance.area;
    p["page"] = r.provenance.page;
    p["offset"] = r.provenance.offset;
    p["frame"] = r.provenance.frame ? nlohmann::ordered_json(*r.provenance.frame) : nlohmann::ordered_json(nullptr);
    p["commit"] = r.provenance.commit ? nlohmann::ordered_json(*r.provenance.commit) : nlohmann::ordered_json(nullptr);
    j["provenance"] = std::move(p);
    return j;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string plainValue(const Value& v) {
    switch (v.kind) {
        case ValueKind::Null: return "";
        case ValueKind::Integer: return std::to_string(v.integer);
        case ValueKind::Real: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", v.real);
            return buf;
        }
        case ValueKind::Text: return v.bytes;
        case ValueKind::Blob: return "x'" + hexOf(v.bytes) + "'";
    }
    return "";
}

std::string optionalText(const std::optional<int64_t>& v) { return v ? std::to_string(*v) : std::string(); }

std::string whereText(const CarvedRecord& r) {
    std::string text = r.provenance.area + ", page " + std::to_string(r.provenance.page) + ", offset " +
                       std::to_string(r.provenance.offset);
    if (r.provenance.frame) {
        text += ", frame " + std::to_string(*r.provenance.frame);
        text += r.provenance.commit ? " of commit " + std::to_string(*r.provenance.commit) : " (not committed)";
    }
    return text + " in " + r.provenance.file;
}

}  // namespace

CLI::App* addCarveCommand(CLI::App& app, CarveCommandOptions& options) {
    CLI::App* carve = app.add_subcommand(
        "carve",
        "Carve deleted records and earlier versions of rows from any SQLite database, by its own schema.\n"
        "FILE-wal and FILE-journal beside the database are read too. Every file is opened read-only and\n"
        "nothing is written beside it. Each record tells its table, row number (when the bytes still hold\n"
        "it), values, status and where it was found: file, area (live cell, freeblock, unallocated, free\n"
        "page, unreached page, WAL frame, journal page), page, byte offset, WAL frame and commit.");
    carve->add_option("FILE", options.file, "The SQLite database file")->required();
    carve->add_option("--table", options.table, "Only the records of this table")->type_name("NAME");
    CLI::Option* json = carve->add_flag(
        "--json", options.json,
        "Print one JSON array of {table, rowid, values, status, provenance: {file, area, page, offset,\n"
        "frame, commit}}; a blob is {\"hex\": \"...\"}");
    CLI::Option* csv = carve->add_flag(
        "--csv", options.csv,
        "Print CSV, one table after another, each with a heading line: table, rowid, status, file, area,\n"
        "page, offset, frame, commit, then the table's columns; a blob is x'hex'");
    json->excludes(csv);
    carve->add_flag("--all", options.all, "List the live rows too (status \"live\")");
    carve->add_flag(
        "--partial", options.partial,
        "Also list deleted records whose overflow pages were reused (status \"partial\"): the values kept\n"
        "in their leaf page, then null from the first value whose bytes are lost (JSON: \"lost_from\", its\n"
        "index; text: \"(lost)\")");
    return carve;
}

int runCarveCommand(const CarveCommandOptions& options) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(options.file, ec)) {
        std::fprintf(stderr, "kestrel: %s is not a readable file\n", options.file.c_str());
        return 1;
    }
    auto database = RawFile::open(options.file);
    if (!database) {
        std::fprintf(stderr, "kestrel: cannot read %s\n", options.file.c_str());
        return 1;
    }
    std::unique_ptr<RawFile> wal, journal;
    if (fs::is_regular_file(options.file + "-wal", ec)) wal = RawFile::open(options.file + "-wal");
    if (fs::is_regular_file(options.file + "-journal", ec)) journal = RawFile::open(options.file + "-journal");

    carving::CarveInputs inputs;
    inputs.database = database.get();
    inputs.wal = wal.get();
    inputs.journal = journal.get();
    inputs.databaseName = fs::path(options.file).filename().string();
    inputs.walName = inputs.databaseName + "-wal";
    inputs.journalName = inputs.databaseName + "-journal";
    carving::CarveOptions carveOptions;
    carveOptions.table = options.table;
    carveOptions.includeLive = options.all;
    carveOptions.partial = options.partial;

    std::vector<CarvedRecord> records;
    const carving::CarveSummary summary =
        carving::carveSqliteRecords(inputs, carveOptions, [&](const CarvedRecord& r) { records.push_back(r); });
    if (!summary.readable) {
        std::fprintf(stderr, "kestrel: %s: no SQLite schema found (not a database, or its first page is damaged)\n",
                     options.file.c_str());
        return 1;
    }
    if (!options.table.empty() &&
        std::find(summary.tableNames.begin(), summary.tableNames.end(), options.table) == summary.tableNames.end()) {
        std::fprintf(stderr, "kestrel: %s has no table named %s\n", options.file.c_str(), options.table.c_str());
        return 1;
    }
    // Table by table, in the schema's order; within a table, as found.
    std::map<std::string, size_t> order;
    for (size_t i = 0; i < summary.tableNames.size(); ++i) order.emplace(summary.tableNames[i], i);
    std::stable_sort(records.begin(), records.end(),
                     [&](const CarvedRecord& a, const CarvedRecord& b) { return order[a.table] < order[b.table]; });

    if (options.json) {
        std::string out = "[";
        bool first = true;
        for (const CarvedRecord& r : records) {
            out += first ? "\n  " : ",\n  ";
            first = false;
            out += recordToJson(r).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        }
        out += first ? "]\n" : "\n]\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
    } else if (options.csv) {
        std::string current;
        bool any = false;
        for (const CarvedRecord& r : records) {
            if (!any || r.table != current) {
                if (any) std::printf("\n");
                std::string head = "table,rowid,status,file,area,page,offset,frame,commit";
                for (const std::string& column : summary.columnNames[order[r.table]]) head += "," + csvField(column);
                std::printf("%s\n", head.c_str());
                current = r.table;
                any = true;
            }
            std::string line = csvField(r.table) + "," + optionalText(r.rowid) + "," + csvField(r.status) + "," +
                               csvField(r.provenance.file) + "," + csvField(r.provenance.area) + "," +
                               std::to_string(r.provenance.page) + "," + std::to_string(r.provenance.offset) + "," +
                               optionalText(r.provenance.frame) + "," + optionalText(r.provenance.commit);
            for (const Value& v : r.values) line += "," + csvField(plainValue(v));
            std::printf("%s\n", line.c_str());
        }
    } else {
        for (const CarvedRecord& r : records) {
            std::string line = r.table + " rowid " + (r.rowid ? std::to_string(*r.rowid) : std::string("?")) + " " +
                               r.status + " (" + whereText(r) + "):";
            for (size_t i = 0; i < r.values.size(); ++i)
                line += " | " + (r.lostFrom && i >= *r.lostFrom ? std::string("(lost)") : plainValue(r.values[i]));
            std::printf("%s\n", line.c_str());
        }
    }
    std::fprintf(stderr,
                 "kestrel: %zu tables, page size %lld, %u pages, %lld WAL frames in %lld commits, %lld journal pages; "
                 "%zu deleted, %zu earlier versions%s\n",
                 summary.tables, static_cast<long long>(summary.pageSize), summary.pages,
                 static_cast<long long>(summary.walFrames), static_cast<long long>(summary.walCommits),
                 static_cast<long long>(summary.journalPages), summary.deleted, summary.earlierVersions,
                 options.all ? (", " + std::to_string(summary.live) + " live").c_str() : "");
    return 0;
}

}  // namespace kestrel::cli
