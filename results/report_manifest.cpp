#include "results/report_manifest.h"

#include <openssl/evp.h>

#include "carve/sqlite_raw.h"
#include "results/record_json.h"

namespace kestrel {

std::optional<ExportFormats> parseExportFormats(std::string_view list, std::string* error) {
    ExportFormats formats;
    formats.txt = false;
    bool any = false;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view name = list.substr(start, comma - start);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name == "txt") {
            formats.txt = any = true;
        } else if (name == "html") {
            formats.html = any = true;
        } else if (name == "csv") {
            formats.csv = any = true;
        } else if (name == "json") {
            formats.json = any = true;
        } else if (!name.empty()) {
            if (error) *error = "unknown export format \"" + std::string(name) + "\" (txt, html, csv or json)";
            return std::nullopt;
        }
        start = comma + 1;
    }
    if (!any) {
        if (error) *error = "no export format given (txt, html, csv or json)";
        return std::nullopt;
    }
    return formats;
}

std::string exportFormatsText(const ExportFormats& f) {
    std::string out;
    auto add = [&out](bool on, const char* name) {
        if (!on) return;
        if (!out.empty()) out.push_back(',');
        out.append(name);
    };
    add(f.txt, "txt");
    add(f.html, "html");
    add(f.csv, "csv");
    add(f.json, "json");
    return out;
}

namespace {

std::string hex(const unsigned char* digest, unsigned length) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0xF]);
    }
    return out;
}

std::string sha256Of(const void* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return std::string();
    return hex(digest, length);
}

}  // namespace

std::string sha256Hex(std::string_view bytes) { return sha256Of(bytes.data(), bytes.size()); }

HashedFile hashFile(const std::string& path) {
    HashedFile out;
    out.path = path;
    const std::unique_ptr<RawFile> file = RawFile::open(path);
    if (!file) {
        out.error = "cannot be read";
        return out;
    }
    out.bytes = file->size();
    static const char kEmpty = 0;
    out.sha256 = sha256Of(file->size() > 0 ? static_cast<const void*>(file->data()) : &kEmpty,
                          static_cast<size_t>(file->size()));
    if (out.sha256.empty()) out.error = "cannot be hashed";
    return out;
}

std::string isoUtcTime(std::time_t time) {
    if (time == 0) return std::string();
    std::tm utc{};
    if (gmtime_r(&time, &utc) == nullptr) return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string reportFactsJson(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                            const ExportFormats& formats) {
    std::string files = "[";
    for (size_t i = 0; i < databases.size(); ++i) {
        const HashedFile& d = databases[i];
        files.append(i == 0 ? "\n    " : ",\n    ");
        JsonObjectWriter o(files);
        o.text("path", d.path);
        if (d.error.empty()) {
            o.number("bytes", d.bytes).text("sha256", d.sha256);
        } else {
            o.text("error", d.error);
        }
    }
    files.append(databases.empty() ? "]" : "\n  ]");
    std::string out;
    {
        JsonObjectWriter o(out);
        o.text("program", "kestrel")
            .text("version", facts.version)
            .text("scanTime", isoUtcTime(facts.scanTime))
            .text("exportTime", isoUtcTime(exportTime))
            .text("command", facts.command)
            .text("formats", exportFormatsText(formats))
            .raw("databaseFiles", files);
    }
    return out;
}

std::string countsJson(const std::vector<CategoryCount>& counts) {
    std::string out;
    {
        JsonObjectWriter o(out);
        for (const CategoryCount& c : counts) {
            std::string one;
            JsonObjectWriter(one).number("existing", c.existing).number("deleted", c.deleted).number("ticked", c.ticked);
            o.raw(c.name.c_str(), one);
        }
    }
    return out;
}

std::string manifestJson(const ReportFacts& facts, const std::vector<HashedFile>& databases, std::time_t exportTime,
                         const ExportFormats& formats, const std::vector<CategoryCount>& counts,
                         const std::vector<WrittenFile>& files) {
    std::string list = "[";
    for (size_t i = 0; i < files.size(); ++i) {
        list.append(i == 0 ? "\n  " : ",\n  ");
        JsonObjectWriter(list).text("path", files[i].path).number("bytes", files[i].bytes).text("sha256",
                                                                                                 files[i].sha256);
    }
    list.append(files.empty() ? "]" : "\n]");
    std::string out = "{\n";
    out.append("\"backup\": ").append(backupFactsJson(facts.backup)).append(",\n");
    out.append("\"report\": ").append(reportFactsJson(facts, databases, exportTime, formats)).append(",\n");
    out.append("\"counts\": ").append(countsJson(counts)).append(",\n");
    out.append("\"files\": ").append(list).append("\n}\n");
    return out;
}

}  // namespace kestrel
