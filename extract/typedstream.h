// Reader of the `attributedBody` column of the newer message databases: an
// NSAttributedString archived by NSArchiver in the little-endian
// "streamtyped" format. The reader is bounded: every length, count and
// reference is checked against the blob and the tables built so far, and
// nesting is limited, so a damaged blob gives no result and a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// One U+FFFC (object replacement character) of the decoded text, normally
// the place of an attachment.
struct AttachmentMarker {
    size_t byteOffset = 0;   // offset of the character's UTF-8 bytes in the text
    size_t utf16Offset = 0;  // its position counted in UTF-16 code units
    std::string guid;        // the file-transfer GUID of its attribute run, when one is given
    int part = -1;           // the message part of its run, -1 when not given
};

struct AttributedText {
    std::string text;  // UTF-8
    std::vector<AttachmentMarker> attachments;
};

// Decodes the string of an archived attributed string, with its attachment
// markers. No result for anything that is not a complete, consistent archive
// of an attributed string; `reason`, when given, then says what was wrong.
std::optional<AttributedText> decodeAttributedBody(const uint8_t* data, size_t size,
                                                   std::string* reason = nullptr);

// The string of an archived attributed string as a view into the blob, with
// the number of U+FFFC characters it holds. It accepts and refuses exactly
// what decodeAttributedBody does, but allocates nothing once the calling
// thread's work tables have grown to the size of a message body: for reading
// many bodies whose markers need no names.
struct AttributedTextView {
    std::string_view text;  // UTF-8, inside the blob
    size_t markers = 0;     // number of U+FFFC characters in the text
};
std::optional<AttributedTextView> viewAttributedBody(const uint8_t* data, size_t size, std::string* reason = nullptr);

// The attachment GUID of a file-transfer attribute value: the value itself,
// or the GUID part of the "at_<part>_<GUID>" form.
std::string attachmentGuidFromAttribute(std::string_view value);

// The text with each U+FFFC replaced by "[attachment: NAME]" when a name is
// known for it, else "[attachment]". `nameOf` is asked with the marker's GUID
// (empty when its run names none) and its index among the markers; it
// returns the empty text when it knows no name.
std::string describeAttachments(const AttributedText& body,
                                const std::function<std::string(const std::string& guid, size_t index)>& nameOf);

// The same for a plain text whose U+FFFC characters stand, in order, for the
// given file names (fewer names than characters leave the rest unnamed).
std::string describeAttachments(std::string_view text, const std::vector<std::string>& names);

}  // namespace kestrel
