// Record-header analysis for the carvers: the four field readers with their
// caller-owned data cursor, the pattern checks with their half-byte windows,
// the header mark and the single-byte probes that tell which layout variant a
// record header has.
//
// Record geometry as a carver hands it to a field reader: `offset` is the
// base, `postion` the index of the field's serial-type byte counted from the
// base, `length` the distance from the base to the record's first content
// byte, `head` an extra distance added to both, and `dataoff` the data cursor
// (content of the field at base + head + length + cursor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "carve/sqlite_raw.h"

namespace kestrel {

// Record kinds of the pattern checks.
inline constexpr int32_t kKindOlderMessage = 2;
inline constexpr int32_t kKindContact = 4;

// A number field writes its decimal text into an area of this many characters.
inline constexpr size_t kNumberTextArea = 260;
// The longest content a two-byte reader copies (serial type 4095).
inline constexpr size_t kMaxFieldContent = 2041;

// ---- Field readers ----
// Each answers `data`, or null ("nothing") when the serial type has no
// content class (one-byte: 0 and 8..13; two-byte: above 4095); then the
// cursor and the buffer stay as they are. `data` must be zero-filled by the
// caller; at most dataSize - 1 content bytes are copied (a longer content is
// cut, the cursor still advances by its whole length).

// One-byte serial type at base + postion. Types 1..7 give decimal text of the
// big-endian value's low 32 bits (1-3 byte integers unsigned); 14 and more
// copy the content bytes as they are (no terminator).
char* AnalyseDBDataFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset,
                        int32_t length, char* data, size_t dataSize);
char* AnalyseTheDBDataFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset,
                           int32_t head, int32_t length, char* data, size_t dataSize);
// Two-byte serial type at base + postion (decoded by getAlterInteger); the
// content bytes are copied as they are, whatever the type.
char* AnalyseAlterbleDB(const RawFile* file, int32_t postion, int32_t& dataOff, int64_t offset,
                        int32_t length, char* Data, size_t dataSize);
char* AnalyseAlterbleDBFile(const RawFile* file, int32_t postion, int32_t& dataoff, int64_t offset,
                            int32_t Head, int32_t length, char* data, size_t dataSize);

// ---- Pattern checks over hex text ----
// 1 when the text begins with a pattern of the kind, -1 when not, 0 for no text.
int32_t bCheckDataIsValid(const char* text, int32_t type);
// 1 when a window of `longth` characters starting at some character p with
// p < strlen(text) - longth passes bCheckDataIsValid; else 0. The last window
// (p = strlen - longth) is never examined.
int32_t bcheckSubStringIsValid(const char* text, int32_t type, int32_t longth);
// The same answer as bcheckSubStringIsValid over the hex text of `count`
// bytes at the offset (getHexString), computed on the bytes' half-bytes.
int32_t bcheckSubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count, int32_t type,
                                 int32_t longth);

// Header mark of kind 4: the first four characters of the hex text at the
// offset are 2300, 2400, 2500 or 2600. 1 or 0.
int32_t getDeletedMark(const RawFile* file, int64_t offset, int32_t longth, int32_t type);

// ---- Single-byte probes ----
int32_t bNoteAlter(const RawFile* file, int64_t offset);        // 1 for 0x80..0x89
int32_t bImageURLAlter(const RawFile* file, int64_t offset);    // 1 unless 0x09
// 0 at a zero byte; otherwise the length of the run of non-zero bytes that
// ends at the offset (stops at the start of the file).
int32_t bSortAlter(const RawFile* file, int64_t offset);
int32_t bIsAlterbleDBFile(const RawFile* file, int64_t offset, int32_t type);  // 1 for 14 and more
int32_t IsAlterAboutContent(const RawFile* file, int64_t offset);  // 1 unless 0x04
int32_t ISAlterPropertFiled(const RawFile* file, int64_t offset);  // 1 for 0x79..0x88
int32_t ISAlterMessageContentFiled(const RawFile* file, int64_t offset);  // 1 unless 0x55

// ---- Message checks ----
// 1 when a window of width `longth` (p < strlen - longth) begins with
// "010155" (chat) or "0800010000" (message); else 0, also for no text.
int32_t bcheckChatIOS6SubStringIsValid(const char* text, int32_t longth);
int32_t bcheckMessageIOS6SubStringIsValid(const char* text, int32_t longth);
// Byte-level equivalents over the hex text of `count` bytes at the offset.
int32_t bcheckChatIOS6SubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count, int32_t longth);
int32_t bcheckMessageIOS6SubStringIsValidAt(const RawFile* file, int64_t offset, int32_t count,
                                            int32_t longth);

// Header-length probe: z = first 0x00 byte at or after the offset; 2 when the
// byte at z - 1 is 34..36, 1 when it is 18..20, else 0.
int32_t GetFildLength(const RawFile* file, int64_t offset);

// The same probe for walks that probe many offsets: a search that runs past
// a few kilobytes without meeting a zero byte builds, once, a table of the
// next block holding a zero, so no probe crosses a long run of non-zero bytes
// more than once per block.
class NextZeroFinder {
public:
    explicit NextZeroFinder(const RawFile* file) : file_(file) {}
    // Offset of the first 0x00 byte at or after the offset (byte rules of byteValueAt).
    int64_t find(int64_t offset);
    int32_t GetFildLength(int64_t offset);

private:
    static constexpr int64_t kBlock = 256;
    const RawFile* file_;
    std::vector<int64_t> nextZeroBlock_;  // block index -> first block at or after it holding a zero
};

}  // namespace kestrel
