// The record lists of the results view: category switching, the deleted-only
// filter, the selection and ticking of rows, the preview of the selected
// record and the sorting of a table by a column heading.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>

#include "app/provenance_text.h"
#include "extract/conversions.h"
#include "results/result_view_controller.h"

namespace kestrel {
namespace {

size_t at(Category c) { return static_cast<size_t>(c); }

// Calls f(displayed content, category list) for the table of a category.
template <typename F>
void withTable(TovResultViewController& r, Category c, F&& f) {
    switch (c) {
        case Category::PhotoAndVideo: f(r.photoController, r.photoAndVideoArray); break;
        case Category::Contacts: f(r.contactController, r.contactArray); break;
        case Category::Messages: f(r.messageController, r.messageArray); break;
        case Category::Notes: f(r.noteController, r.noteArray); break;
        case Category::CallHistory: f(r.callHistoryController, r.callHistoryArray); break;
    }
}

template <typename F>
void withTable(const TovResultViewController& r, Category c, F&& f) {
    withTable(const_cast<TovResultViewController&>(r), c, [&](const auto& shown, const auto& list) { f(shown, list); });
}

PreviewLabel label(const char* prefix, const std::string& text) { return PreviewLabel{prefix + text, true}; }
// Where a carved record was found; hidden when it was read from a live table.
PreviewLabel provenanceLabel(const Provenance& provenance) {
    std::string text = provenanceText(provenance);
    const bool shown = !text.empty();
    return PreviewLabel{std::move(text), shown};
}

// A contact label is shown only when its field has text.
PreviewLabel contactLabel(const char* prefix, const std::string& text) {
    return PreviewLabel{prefix + text, !text.empty()};
}

// Reads a decimal floating-point number at the start of `text`: blanks, a
// sign, digits with an optional point and fraction, an optional exponent.
// Reading stops at the first character that cannot continue the number;
// no digit gives 0.
double leadingDouble(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0;
    size_t end = i;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        size_t expStart = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j > expStart) end = j;
    }
    // strtod on a copy that holds only the number: no hexadecimal, no "inf".
    std::string number(text.substr(start, end - start));
    return std::strtod(number.c_str(), nullptr);
}

// ---- Dates of the call history ----

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

class DateCursor {
public:
    explicit DateCursor(std::string_view text) : text_(text) {}
    // Reads `min` to `max` digits.
    bool number(size_t min, size_t max, int& out) {
        size_t n = 0;
        int value = 0;
        while (pos_ < text_.size() && n < max && text_[pos_] >= '0' && text_[pos_] <= '9') {
            value = value * 10 + (text_[pos_] - '0');
            ++pos_;
            ++n;
        }
        out = value;
        return n >= min;
    }
    bool accept(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    bool atEnd() const { return pos_ == text_.size(); }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

SortDirectionFlags& sortDirections() {
    static SortDirectionFlags flags;
    return flags;
}

std::optional<int64_t> callDateValue(const std::string& text) {
    std::string_view t = text;
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    DateCursor c(t);
    int first = 0, month = 0, day = 0, year = 0;
    if (!c.number(1, 4, first)) return std::nullopt;
    const char sep = c.peek();
    if (sep != '-' && sep != '/') return std::nullopt;
    c.accept(sep);
    bool yearFirst = first >= 1000;  // four digits were read
    if (yearFirst) {
        year = first;
        if (!c.number(1, 2, month) || !c.accept(sep) || !c.number(1, 2, day)) return std::nullopt;
    } else {
        month = first;
        if (!c.number(1, 2, day) || !c.accept(sep) || !c.number(4, 4, year)) return std::nullopt;
    }
    int hour = 0, minute = 0, second = 0;
    if (!c.atEnd()) {
        if (!(c.accept(' ') || (yearFirst && c.accept('T')))) return std::nullopt;
        while (c.accept(' ')) {
        }
        if (!c.number(1, 2, hour) || !c.accept(':') || !c.number(2, 2, minute)) return std::nullopt;
        if (c.accept(':') && !c.number(2, 2, second)) return std::nullopt;
        if (!c.atEnd()) return std::nullopt;
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
           minute * 60 + second;
}

uint64_t TovResultViewController::sizeFormString(const std::string& sizeText) {
    if (sizeText.empty()) return 0;
    const char unit = sizeText.back();
    double value = leadingDouble(std::string_view(sizeText).substr(0, sizeText.size() - 1));
    switch (unit) {
        case 'B': break;
        case 'K': value *= 1000.0; break;
        case 'M': value *= 1000.0 * 1000.0; break;
        case 'G': value *= 1000.0 * 1000.0 * 1000.0; break;
        default: value *= 1000.0 * 1000.0 * 1000.0 * 1000.0; break;
    }
    // Negative sizes read as 0 and sizes beyond the 64-bit range as its
    // largest value, where a plain conversion would be undefined.
    if (!(value > 0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

// ---- Categories ----

std::string TovResultViewController::categoryButtonImage(Category category, bool active) {
    static const char* const stems[kCategoryCount] = {"phone&video", "contact", "message", "note", "call"};
    return std::string(stems[at(category)]) + (active ? "On" : "Nom");
}

void TovResultViewController::actPhoto() { switchToCategory(Category::PhotoAndVideo); }
void TovResultViewController::actContact() { switchToCategory(Category::Contacts); }
void TovResultViewController::actMessage() { switchToCategory(Category::Messages); }
void TovResultViewController::actNote() { switchToCategory(Category::Notes); }
void TovResultViewController::actCallHistory() { switchToCategory(Category::CallHistory); }

void TovResultViewController::switchToCategory(Category category) {
    checkBoxVisible = category != Category::PhotoAndVideo;
    checkBoxTicked = false;
    currentCategory = category;
    refillTable(category, false);
    selectFirstRow(category);
}

bool TovResultViewController::actHome() {
    // The home button is off while a scan fills the lists, and the export
    // sheet covers it while the export worker reads them.
    if (!homeBtnEnabled || isRecovering()) return false;
    if (delegate_ && !delegate_->runAlert(kGoHomeAlert, kGoHomeAlertBack, kGoHomeAlertCancel)) return false;
    releaseUIMemory();
    if (delegate_) delegate_->showMainView();
    BackUpFilesNum = 0;
    deleteeFilesNum = 0;
    selectedFilesNum = 0;
    recovredFilesNum.store(0);
    updateSelectionState();
    return true;
}

// ---- Displayed content and selection ----

void TovResultViewController::refillTable(Category table, bool deletedOnly) {
    withTable(*this, table, [&](auto& shown, const auto& list) {
        shown.clear();
        if (!deletedOnly) {
            shown = list;
            return;
        }
        if constexpr (requires { list.front()->bDeleted(); }) {
            for (const auto& record : list) {
                if (record->bDeleted()) shown.push_back(record);
            }
        }
    });
    selections_[at(table)] = TableSelection{};
    selections_[at(table)].rows.assign(numberOfRowsInTableView(table), false);
    if (delegate_) delegate_->tableChanged(table);
}

void TovResultViewController::selectFirstRow(Category table) {
    if (numberOfRowsInTableView(table) == 0) return;
    selectRowIndexes(table, {0}, false);
}

void TovResultViewController::actCheck(bool checkBtnTicked) {
    checkBoxTicked = checkBtnTicked;
    const Category table = currentCategory;
    if (table == Category::PhotoAndVideo) return;
    refillTable(table, checkBtnTicked);
    selectFirstRow(table);
}

size_t TovResultViewController::numberOfRowsInTableView(Category table) const {
    size_t rows = 0;
    withTable(*this, table, [&](const auto& shown, const auto&) { rows = shown.size(); });
    return rows;
}

void TovResultViewController::selectRowIndexes(Category table, const std::vector<size_t>& rows,
                                               bool byExtendingSelection) {
    TableSelection& selection = selections_[at(table)];
    const size_t count = numberOfRowsInTableView(table);
    if (!byExtendingSelection) {
        selection.rows.assign(count, false);
        selection.last = -1;
    }
    selection.rows.resize(count, false);
    for (size_t row : rows) {
        if (row >= count) continue;
        selection.rows[row] = true;
        selection.last = static_cast<long>(row);
    }
    tableViewSelectionDidChange(table);
}

void TovResultViewController::selectAll(Category table) {
    const size_t count = numberOfRowsInTableView(table);
    TableSelection& selection = selections_[at(table)];
    selection.rows.assign(count, true);
    selection.last = count == 0 ? -1 : static_cast<long>(count - 1);
    tableViewSelectionDidChange(table);
}

void TovResultViewController::deselectAll(Category table) {
    TableSelection& selection = selections_[at(table)];
    selection.rows.assign(numberOfRowsInTableView(table), false);
    selection.last = -1;
    tableViewSelectionDidChange(table);
}

std::vector<size_t> TovResultViewController::selectedRowIndexes(Category table) const {
    std::vector<size_t> rows;
    const TableSelection& selection = selections_[at(table)];
    const size_t count = std::min(selection.rows.size(), numberOfRowsInTableView(table));
    for (size_t i = 0; i < count; ++i) {
        if (selection.rows[i]) rows.push_back(i);
    }
    return rows;
}

long TovResultViewController::selectedRow(Category table) const {
    const TableSelection& selection = selections_[at(table)];
    if (selection.last < 0 || static_cast<size_t>(selection.last) >= numberOfRowsInTableView(table)) return -1;
    return selection.last;
}

// ---- Ticking ----

void TovResultViewController::tableView(Category table, int setObjectValue, const std::string& /*forTableColumn*/,
                                        long row) {
    const bool ticked = setObjectValue == 1;
    const Category current = currentCategory;
    const TableSelection& selection = selections_[at(current)];
    withTable(*this, current, [&](auto& shown, const auto&) {
        for (size_t i = 0; i < shown.size(); ++i) {
            const bool selected = i < selection.rows.size() && selection.rows[i];
            // The clicked row takes the new state too, selected or not.
            const bool clicked = table == current && row >= 0 && static_cast<size_t>(row) == i;
            if (!selected && !clicked) continue;
            const auto& record = shown[i];
            if (record->bSelected() == ticked) continue;
            record->setBSelected(ticked);
            selectedFilesNum += ticked ? 1 : -1;
        }
    });
    updateSelectionState();
    if (delegate_) delegate_->tableChanged(current);
}

void TovResultViewController::updateSelectionState() {
    if (selectedFilesNum < 1) {
        selecteFilelabVisible = false;
        saveBtnEnabled = false;
    } else {
        char text[96];
        std::snprintf(text, sizeof text, "You select %d files in the recovery results.", selectedFilesNum);
        selecteFilelab = text;
        selecteFilelabVisible = true;
        saveBtnEnabled = true;
    }
    if (delegate_) delegate_->selectionStateChanged();
}

// ---- Preview ----

void TovResultViewController::tableViewSelectionDidChange(Category /*table*/) {
    const Category current = currentCategory;
    const long row = selectedRow(current);
    if (row < 0) return;
    const auto index = static_cast<size_t>(row);
    switch (current) {
        case Category::PhotoAndVideo: {
            const TovPhotoAndVideoNode& r = *photoController[index];
            photoPreview.bmov = r.bmov();
            photoPreview.filePath = r.filePath();
            photoPreview.imageFileNamelab = label("File Name: ", r.fileNodeName());
            photoPreview.imageFileSizelab = label("File Size: ", r.fileNodeSize());
            break;
        }
        case Category::Contacts: {
            const TovContactNode& r = *contactController[index];
            ContactPreview& p = contactPreview;
            p.contactNamelab = contactLabel("Name: ", r.contactName());
            p.contactPhonelab = contactLabel("Phone: ", r.contactPhone());
            p.contactEmaillab = contactLabel("Email: ", r.contactEmail());
            p.contactHomePagelab = contactLabel("HomePage: ", r.contactHomepage());
            p.contactCompanylab = contactLabel("Company: ", r.contactCompany());
            p.contactJobTitlelab = contactLabel("JobTitle: ", r.contactJobtitle());
            p.contactBirthdaylab = contactLabel("Birthday: ", r.contactBirthday());
            p.contactProvenancelab = provenanceLabel(r.provenance());
            p.contactNotelab = r.contactNote();
            p.contactNoteScrollViewVisible = !p.contactNotelab.empty();
            break;
        }
        case Category::Messages: {
            const TovMessageNode& r = *messageController[index];
            MessagePreview& p = messagePreview;
            p.messageScrollViewVisible = true;
            p.messageNamelab = label("Name: ", r.messageName());
            p.messagePhonelab = label("Phone: ", r.messagePhone());
            p.messageTypelab = label("Type: ", r.messageType());
            p.messageDatelab = label("Date: ", r.messageDate());
            p.messageSourcelab = label("Source: ", r.source());
            p.messageServicelab = contactLabel("Service: ", r.service());
            p.messageChatlab = contactLabel("Chat: ", r.chat());
            std::string files;
            for (const std::string& name : r.attachments()) files += (files.empty() ? "" : ", ") + name;
            p.messageAttachmentslab = contactLabel("Attachments: ", files);
            p.messageDeletedDatelab = contactLabel("Deleted: ", r.deletedDate());
            p.messageProvenancelab = provenanceLabel(r.provenance());
            p.messageConteView = r.messageContent();
            break;
        }
        case Category::Notes: {
            const TovNoteNode& r = *noteController[index];
            notePreview.noteScrollViewVisible = true;
            notePreview.noteTitlelab = label("Title: ", r.noteTitle());
            notePreview.noteDatelab = label("Date: ", r.noteDate());
            notePreview.noteContentView = r.noteContent();
            break;
        }
        case Category::CallHistory: {
            const TovCallHistoryNode& r = *callHistoryController[index];
            CallHistoryPreview& p = callHistoryPreview;
            p.callNamelab = label("Name: ", r.callName());
            p.callPhonelab = label("Phone: ", r.callPhone());
            p.callTypelab = label("Type: ", r.callType());
            p.callTimelab = label("Duration: ", r.callDuration());
            p.callDatelab = label("Date: ", r.callDate());
            break;
        }
    }
    if (delegate_) delegate_->previewChanged(current);
}

// ---- Sorting ----

namespace {

// Flips a direction flag and returns the new direction (true: ascending).
bool flip(std::atomic<bool>& flag) {
    bool ascending = !flag.load();
    flag.store(ascending);
    return ascending;
}

// Sorts records by a key computed once per record; equal keys keep their
// order. `less` orders two keys ascending.
template <typename Records, typename Key, typename Less>
void sortByKey(Records& records, bool ascending, Key key, Less less) {
    using Value = decltype(key(*records.front()));
    std::vector<std::pair<Value, typename Records::value_type>> keyed;
    keyed.reserve(records.size());
    for (auto& record : records) keyed.emplace_back(key(*record), std::move(record));
    std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        return ascending ? less(a.first, b.first) : less(b.first, a.first);
    });
    records.clear();
    for (auto& entry : keyed) records.push_back(std::move(entry.second));
}

template <typename Records, typename Key>
void sortByKey(Records& records, bool ascending, Key key) {
    sortByKey(records, ascending, key, [](const auto& a, const auto& b) { return a < b; });
}

int64_t leadingNumberOfName(const std::string& name) {
    size_t dot = name.rfind('.');
    return textToInt64(dot == std::string::npos ? std::string_view(name) : std::string_view(name).substr(0, dot));
}

}  // namespace

void TovResultViewController::tableView(Category table, const std::string& didClickTableColumn) {
    const std::string& column = didClickTableColumn;
    if (column == kCheckColumn) return;
    SortDirectionFlags& flags = sortDirections();
    switch (table) {
        case Category::PhotoAndVideo:
            if (column == "Name") {
                const bool ascending = flip(flags.name);
                if (!photoController.empty()) {
                    sortByKey(photoController, ascending,
                              [](const TovPhotoAndVideoNode& r) { return leadingNumberOfName(r.fileNodeName()); });
                }
            } else if (column == "Size") {
                const bool ascending = flip(flags.size);
                if (!photoController.empty()) {
                    sortByKey(photoController, ascending,
                              [](const TovPhotoAndVideoNode& r) { return sizeFormString(r.fileNodeSize()); });
                }
            } else {
                return;
            }
            break;
        case Category::Contacts: {
            const bool ascending = flip(flags.name);
            if (!contactController.empty()) {
                sortByKey(contactController, ascending, [](const TovContactNode& r) { return r.contactName(); });
            }
            break;
        }
        case Category::Messages: {
            const bool ascending = flip(flags.name);
            if (!messageController.empty()) {
                sortByKey(messageController, ascending, [](const TovMessageNode& r) { return r.messageName(); });
            }
            break;
        }
        case Category::CallHistory:
            if (column == "Name") {
                const bool ascending = flip(flags.name);
                if (!callHistoryController.empty()) {
                    sortByKey(callHistoryController, ascending,
                              [](const TovCallHistoryNode& r) { return r.callName(); });
                }
            } else {
                const bool ascending = flip(flags.date);
                if (!callHistoryController.empty()) {
                    // A date that cannot be read has nothing to compare: such
                    // records come after every dated one, in either direction.
                    using Key = std::optional<int64_t>;
                    std::vector<CallHistoryPtr> dated, undated;
                    for (auto& r : callHistoryController) (callDateValue(r->callDate()) ? dated : undated).push_back(r);
                    sortByKey(dated, ascending, [](const TovCallHistoryNode& r) -> Key { return callDateValue(r.callDate()); });
                    callHistoryController = std::move(dated);
                    callHistoryController.insert(callHistoryController.end(), undated.begin(), undated.end());
                }
            }
            break;
        case Category::Notes:
            return;
    }
    selections_[at(table)] = TableSelection{};
    selections_[at(table)].rows.assign(numberOfRowsInTableView(table), false);
    if (delegate_) delegate_->tableChanged(table);
    selectFirstRow(table);
}

}  // namespace kestrel
