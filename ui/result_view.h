// The results stage of the main window: the scan panel with its progress,
// the backup's facts and the ten count captions; the five category panels
// with their tables and previews; the deleted-only box, the ticked-count
// text, the save control, the way home and the links; the export sheets
// and the feedback window. It displays what the results controller holds
// and hands every user action to it.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "scan/app_controller.h"
#include "results/result_view_controller.h"
#include "ui/record_table.h"

class QCheckBox;
class QDialog;
class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace kestrel::ui {

class MailThread;
class TovButton;
class TovTextView;
class TovFeedBackView;

class ResultView : public QWidget, public ResultViewDelegate {
public:
    // `goHome` resizes the main window back and shows the backup list.
    ResultView(WrenfieldAppDelegate& app, std::function<void()> goHome, QWidget* parent = nullptr);
    ~ResultView() override;

    TovResultViewController& core() { return core_; }
    // The program is ending: a scan that still finishes shows no closing alert.
    void setClosing() { closing_ = true; }

    // Resets the view for a new scan (after the controller's own reset).
    void showView();
    // Shows the progress and the count captions as the controller holds them.
    void refreshScanPanel();

    // ---- ResultViewDelegate ----
    void performOnMainThreadAndWait(const std::function<void()>& task) override;
    void progressChanged(int value) override;
    void scanFinished() override;
    bool runAlert(const std::string& message, const std::string& defaultButton,
                  const std::string& alternateButton) override;
    void showMainView() override;
    void tableChanged(Category table) override;
    void previewChanged(Category table) override;
    void selectionStateChanged() override;
    void showSaveWindow() override;
    void startRecoveryTimer() override;
    void stopRecoveryTimer() override;
    void revealInFileViewer(const std::string& rootPath) override;
    void saveWindowClosed() override;

    // ---- Actions ----
    void actRecovery();
    void actHome();
    void clickFeedBack();
    void clickSendFeedBack();
    void ClickDontSendFeedBack();
    // The feedback window's latest mail thread (null before the first send).
    std::shared_ptr<MailThread> sendEmailThreader() const { return sendEmailThreader_; }

    // The tables, by category.
    RecordTableView* table(Category c) const { return panels_[static_cast<size_t>(c)].table; }
    QWidget* panel(Category c) const { return panels_[static_cast<size_t>(c)].view; }
    QWidget* scanPanel() const { return scanproView_; }
    // The scan panel's Stop control: ends the running scan at its next page
    // or row.
    QPushButton* stopButton() const { return stopScanBtn_; }
    QStackedWidget* customView() const { return customView_; }

private:
    struct Panel {
        QWidget* view = nullptr;
        RecordTableModel* model = nullptr;
        RecordTableView* table = nullptr;
        std::vector<QLabel*> labels;
        TovTextView* textView = nullptr;
        QLabel* imageView = nullptr;  // photo panel only
    };

    QWidget* buildScanPanel();
    QWidget* buildCategoryPanel(Category c);
    void buildFeedbackWindow();
    void buildSaveWindow();
    void syncControls();
    void showCategoryButtons();
    void linkHover(QObject* sender, bool entered);

    WrenfieldAppDelegate& app_;
    TovResultViewController& core_;
    std::function<void()> goHome_;

    QStackedWidget* customView_ = nullptr;
    QWidget* scanproView_ = nullptr;
    std::array<Panel, kCategoryCount> panels_;
    std::array<TovButton*, kCategoryCount> categoryBtns_{};

    QProgressBar* scanProgressor_ = nullptr;
    QLabel* progressTextField_ = nullptr;
    QLabel* scanInfolab_ = nullptr;
    QPushButton* stopScanBtn_ = nullptr;
    std::array<QLabel*, 5> backupValueLabels_{};
    std::array<QLabel*, kCategoryCount> existingCountLabels_{};
    std::array<QLabel*, kCategoryCount> deletedCountLabels_{};

    QCheckBox* checkBtn_ = nullptr;
    QLabel* selecteFilelab_ = nullptr;
    QPushButton* saveBtn_ = nullptr;
    QPushButton* homeBtn_ = nullptr;
    TovButton* supprotBtn_ = nullptr;
    TovButton* facebookBtn_ = nullptr;
    TovButton* twitterBtn_ = nullptr;
    TovButton* feedBackBtn_ = nullptr;

    // Export.
    QFileDialog* sp_ = nullptr;
    // The save panel's format boxes: text files, HTML report, CSV, JSON.
    std::array<QCheckBox*, 4> formatBoxes_{};
    ExportFormats chosenFormats_;  // kept for the next export
    void addFormatBoxes();
    void showExportIssues();
    QDialog* saveWindow_ = nullptr;
    QProgressBar* saveProgressor_ = nullptr;
    QLabel* savepercentlab_ = nullptr;
    QTimer* recoverTimer_ = nullptr;

    // Feedback window.
    QWidget* feedbackWindow_ = nullptr;
    TovFeedBackView* feedbackView_ = nullptr;
    QLineEdit* feedbackEmailVaule_ = nullptr;
    std::shared_ptr<MailThread> sendEmailThreader_;

    std::vector<NotificationCenter::Token> hoverTokens_;
    bool closing_ = false;
};

}  // namespace kestrel::ui
