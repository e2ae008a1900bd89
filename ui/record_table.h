// The tables of the results view: a model that reads a category's displayed
// content from the results controller, and a table view that hands clicks
// on the check column, heading clicks and selection changes to it.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <vector>

#include "results/result_view_controller.h"

namespace kestrel::ui {

class RecordTableModel : public QAbstractTableModel {
public:
    RecordTableModel(TovResultViewController& core, Category category, QObject* parent = nullptr);

    Category category() const { return category_; }
    // The identifier of a column: "bSelected" for the check column, then the title.
    QString columnIdentifier(int column) const;
    // The displayed content changed: every row is read again.
    void reload();
    // Rows changed in place (ticks).
    void refreshRows();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QString text(int row, int column) const;
    bool ticked(int row) const;
    bool deleted(int row) const;

    TovResultViewController& core_;
    Category category_;
    QStringList columns_;
};

class RecordTableView : public QTableView {
public:
    RecordTableView(TovResultViewController& core, RecordTableModel* model, QWidget* parent = nullptr);

    RecordTableModel* recordModel() const { return model_; }
    // Shows the controller's selection of this table.
    void showCoreSelection();

protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    void selectionToCore();

    TovResultViewController& core_;
    RecordTableModel* model_;
    bool syncing_ = false;
    bool checkPress_ = false;
};

}  // namespace kestrel::ui
