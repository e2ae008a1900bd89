#include "ui/record_table.h"

#include <QHeaderView>
#include <QMouseEvent>

#include "ui/localisation.h"
#include "ui/services.h"

namespace kestrel::ui {
namespace {

const QColor kDeletedColour = QColor::fromRgbF(217 / 255.0f, 81 / 255.0f, 30 / 255.0f);

QStringList columnsOf(Category c) {
    switch (c) {
        case Category::PhotoAndVideo: return {kCheckColumn, "Name", "Size"};
        case Category::Contacts: return {kCheckColumn, "Name", "Phone", "Email", "Company"};
        case Category::Messages: return {kCheckColumn, "Name", "Phone", "Date", "Type", "Content", "Source", "Service"};
        case Category::Notes: return {kCheckColumn, "Title", "Content", "Date"};
        case Category::CallHistory: return {kCheckColumn, "Name", "Phone", "Date", "Type", "Duration"};
    }
    return {};
}

}  // namespace

RecordTableModel::RecordTableModel(TovResultViewController& core, Category category, QObject* parent)
    : QAbstractTableModel(parent), core_(core), category_(category), columns_(columnsOf(category)) {}

QString RecordTableModel::columnIdentifier(int column) const { return columns_.value(column); }

void RecordTableModel::reload() {
    beginResetModel();
    endResetModel();
}

void RecordTableModel::refreshRows() {
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int RecordTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(core_.numberOfRowsInTableView(category_));
}

int RecordTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QString RecordTableModel::text(int row, int column) const {
    const auto r = static_cast<size_t>(row);
    switch (category_) {
        case Category::PhotoAndVideo: {
            const auto& n = *core_.photoController[r];
            return q(column == 1 ? n.fileNodeName() : n.fileNodeSize());
        }
        case Category::Contacts: {
            const auto& n = *core_.contactController[r];
            switch (column) {
                case 1: return q(n.contactName());
                case 2: return q(n.contactPhone());
                case 3: return q(n.contactEmail());
                default: return q(n.contactCompany());
            }
        }
        case Category::Messages: {
            const auto& n = *core_.messageController[r];
            switch (column) {
                case 1: return q(n.messageName());
                case 2: return q(n.messagePhone());
                case 3: return q(n.messageDate());
                case 4: return q(n.messageType());
                case 6: return q(n.source());
                case 7: return q(n.service());
                default: return q(n.messageContent()).simplified();
            }
        }
        case Category::Notes: {
            const auto& n = *core_.noteController[r];
            switch (column) {
                case 1: return q(n.noteTitle());
                case 2: return q(n.noteContent()).simplified();
                default: return q(n.noteDate());
            }
        }
        case Category::CallHistory: {
            const auto& n = *core_.callHistoryController[r];
            switch (column) {
                case 1: return q(n.callName());
                case 2: return q(n.callPhone());
                case 3: return q(n.callDate());
                case 4: return q(n.callType());
                default: return q(n.callDuration());
            }
        }
    }
    return QString();
}

bool RecordTableModel::ticked(int row) const {
    const auto r = static_cast<size_t>(row);
    switch (category_) {
        case Category::PhotoAndVideo: return core_.photoController[r]->bSelected();
        case Category::Contacts: return core_.contactController[r]->bSelected();
        case Category::Messages: return core_.messageController[r]->bSelected();
        case Category::Notes: return core_.noteController[r]->bSelected();
        case Category::CallHistory: return core_.callHistoryController[r]->bSelected();
    }
    return false;
}

bool RecordTableModel::deleted(int row) const {
    const auto r = static_cast<size_t>(row);
    switch (category_) {
        case Category::PhotoAndVideo: return false;
        case Category::Contacts: return core_.contactController[r]->bDeleted();
        case Category::Messages: return core_.messageController[r]->bDeleted();
        case Category::Notes: return core_.noteController[r]->bDeleted();
        case Category::CallHistory: return core_.callHistoryController[r]->bDeleted();
    }
    return false;
}

QVariant RecordTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return QVariant();
    if (index.column() == 0) {
        if (role == Qt::CheckStateRole) return ticked(index.row()) ? Qt::Checked : Qt::Unchecked;
        return QVariant();
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return text(index.row(), index.column());
    // Deleted records are drawn in the orange of the deleted-only box.
    if (role == Qt::ForegroundRole && deleted(index.row())) return kDeletedColour;
    return QVariant();
}

bool RecordTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole) return false;
    const int state = value.toInt() == Qt::Checked ? 1 : 0;
    core_.tableView(category_, state, kCheckColumn, index.row());
    return true;
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return QVariant();
    return section == 0 ? QString() : L(columns_.value(section).toStdString());
}

Qt::ItemFlags RecordTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

// ---- The table view ----

RecordTableView::RecordTableView(TovResultViewController& core, RecordTableModel* model, QWidget* parent)
    : QTableView(parent), core_(core), model_(model) {
    setModel(model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);  // multiple selection
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(20);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    setColumnWidth(0, 26);
    setFont(namedFont(TovResultViewController::kCellFontName, TovResultViewController::kCellFontSize));
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        core_.tableView(model_->category(), model_->columnIdentifier(section).toStdString());
    });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { selectionToCore(); });
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { selectionToCore(); });
}

void RecordTableView::selectionToCore() {
    if (syncing_) return;
    std::vector<size_t> rows;
    const int current = selectionModel()->currentIndex().row();
    bool currentSelected = false;
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        if (index.row() == current) {
            currentSelected = true;
            continue;
        }
        rows.push_back(static_cast<size_t>(index.row()));
    }
    std::sort(rows.begin(), rows.end());
    // The row selected last is the one the preview shows.
    if (currentSelected) rows.push_back(static_cast<size_t>(current));
    syncing_ = true;
    if (rows.empty()) {
        core_.deselectAll(model_->category());
    } else {
        core_.selectRowIndexes(model_->category(), rows, false);
    }
    syncing_ = false;
}

void RecordTableView::showCoreSelection() {
    if (syncing_) return;
    syncing_ = true;
    QItemSelection selection;
    const int columns = model_->columnCount();
    for (size_t row : core_.selectedRowIndexes(model_->category())) {
        const int r = static_cast<int>(row);
        selection.select(model_->index(r, 0), model_->index(r, columns - 1));
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    const long last = core_.selectedRow(model_->category());
    if (last >= 0) {
        selectionModel()->setCurrentIndex(model_->index(static_cast<int>(last), 1), QItemSelectionModel::NoUpdate);
        scrollTo(model_->index(static_cast<int>(last), 1));
    }
    syncing_ = false;
}

// A press on the check column toggles the row's tick and leaves the
// selection as it is, so one click ticks every selected row at once.
void RecordTableView::mousePressEvent(QMouseEvent* e) {
    const QModelIndex index = indexAt(e->position().toPoint());
    if (index.isValid() && index.column() == 0 && e->button() == Qt::LeftButton) {
        checkPress_ = true;
        const bool now = model_->data(index, Qt::CheckStateRole).toInt() == Qt::Checked;
        model_->setData(index, now ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        e->accept();
        return;
    }
    checkPress_ = false;
    QTableView::mousePressEvent(e);
}

void RecordTableView::mouseReleaseEvent(QMouseEvent* e) {
    if (checkPress_) {
        checkPress_ = false;
        e->accept();
        return;
    }
    QTableView::mouseReleaseEvent(e);
}

void RecordTableView::mouseDoubleClickEvent(QMouseEvent* e) {
    const QModelIndex index = indexAt(e->position().toPoint());
    if (index.isValid() && index.column() == 0) {
        // The second press of a double click on a check box is a second toggle.
        mousePressEvent(e);
        return;
    }
    QTableView::mouseDoubleClickEvent(e);
}

}  // namespace kestrel::ui
