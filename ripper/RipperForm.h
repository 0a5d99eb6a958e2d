#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "ripper/CdDrives.h"
#include "ripper/CdLibrary.h"
#include "ripper/RipEngine.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class TRxSwitch;

// The ripper window: drive selector, track list, summary, the two switches, the
// progress area, the file-name prefix and the message log. Its drives are
// discovered when the window is first opened (DiscoverDrives, which shows the
// "Attention" box when there is none), not when it is created: a process that
// only converts files never looks for drives. Closing it only hides it, so its
// list, log and switches keep their state. The window owns the drive handles,
// the table of contents and the ripping state.
class TRipperForm : public QWidget, private ripper::RipView {
    Q_OBJECT
public:
    explicit TRipperForm(QWidget* parent = nullptr,
                         ripper::CdLibrary& library = ripper::linkedCdLibrary());
    ~TRipperForm() override;

    // Where the RipperOut setting is read from, afresh for every track. The
    // launcher points it at the options dialog's settings record; until then it
    // gives <music>/Ripped Files.
    std::function<std::string()> RipperOutSource;
    // Whether the end of a rip is announced by a notification (the Notify
    // setting), read when the rip ends. Until set: on, as the setting is by default.
    std::function<bool()> NotifySource;

    // Drive discovery, run once before the window is first shown; ends by
    // selecting the first drive and listing its tracks.
    void DiscoverDrives();
    // Refills the track list from the selected drive's table of contents.
    void ListTracks();

    // Handlers, named after their controls and events.
    void ComboBox1Change();
    void ListView1SelectItem();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void RxSwitch1On();
    void RxSwitch1Off();
    void SpeedButton4Click();
    void SpeedButton3Click();
    void FormCloseQuery(bool& canClose);
    // The close request from outside (the session ends, a signal): the window
    // hides and a running rip ends at its next check, finishing its file, without
    // the question of the close query.
    void CloseFromOutside();

    // The message log's lines, empty ones left out.
    QStringList LogLines() const;

    ripper::CdDrives Drives;
    ripper::RipEngine Engine;

    QLabel* Label10 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QLabel* Image1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    TRxSwitch* RxSwitch1 = nullptr;
    QLabel* RxLabel1 = nullptr;
    TRxSwitch* RxSwitch2 = nullptr;
    QLabel* RxLabel2 = nullptr;
    QLabel* Label1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label9 = nullptr;
    QPushButton* SpeedButton1 = nullptr;
    QPushButton* SpeedButton2 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label5 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* SpeedButton4 = nullptr;
    QPushButton* SpeedButton3 = nullptr;
    QFrame* Bevel1 = nullptr; // around the progress area
    QFrame* Bevel2 = nullptr; // around the switches
    QFrame* Bevel3 = nullptr; // the line above the bottom buttons

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void appendLog(const std::string& line) override;
    void setProgress(int percent) override;
    void setSpeedText(const std::string& text) override;
    void setElapsedText(const std::string& text) override;
    void setEstimateText(const std::string& text) override;
    void setTrackText(const std::string& text) override;
    void setRippingState(bool ripping) override;
    void processPendingEvents() override;
    int rowCount() override;
    bool isRowSelected(int row) override;
    int driveIndex() override;
    std::string prefix() override;
    bool compressOnFly() override;
    bool stopOnErrors() override;
    std::string ripperOut() override;
    bool notifyWhenDone() override;

    void createControls();

    QPointer<QWidget> focusBeforeRip_; // where the focus was when the run started
};

// The record a track list row carries (it is freed with the row); null for an
// item that is no track row.
const ripper::TrackRowInfo* TrackRowInfoOf(const QTreeWidgetItem* item);
