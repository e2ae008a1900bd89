// File-system steps of the export: whole-file atomic writes, a rename that
// never replaces an existing file, and the test of whether a text taken from
// a record may serve as a file name.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Writes `data` to `path` as a whole: the bytes go to a new temporary file in
// the same folder, which is then renamed over `path`, so a reader sees either
// the old file or the complete new one, never a part. The file gets the mode
// an ordinary new file gets (0666 less the umask). On failure the temporary
// file is removed, `path` is left as it was, and `error` (when given) says why.
bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error = nullptr);

enum class RenameOutcome { Renamed, TargetExists, Failed };

// Renames `from` to `to` unless `to` already exists; an existing `to` is never
// replaced, not even by a rename racing with another writer.
RenameOutcome renameWithoutReplacing(const std::string& from, const std::string& to, std::string* error = nullptr);

// Writes `data` as a new file in `folder` without touching any existing
// file: under `name` when that is free, else under the first free name of
// "stem 2.ext", "stem 3.ext" ... (the number before the last dot, or at the
// end when there is none). The bytes go to a temporary file first, which is
// then renamed without replacing, so the file appears whole. `finalName`
// gets the name used. Fails for a name that is no plain file name.
bool writeNewFile(const std::string& folder, const std::string& name, std::string_view data, std::string* finalName,
                  std::string* error = nullptr);
// The n-th name of that sequence (n >= 2): "report.html" -> "report 2.html".
std::string numberedFileName(const std::string& name, int n);

// Whether a text may be used as one file name inside a folder: not empty, not
// "." or "..", and holding neither "/" nor a NUL byte. Anything else could
// name a file outside the folder, or a different file than meant.
bool isPlainFileName(std::string_view name);

}  // namespace kestrel
