#pragma once

#include <QWidget>
#include <functional>
#include <memory>

class QDialog;
class QFrame;
class QLabel;
class QPushButton;
class QShowEvent;
class QToolButton;
class TOptionsForm;

// The launcher: the main window of a start without file names. It explains the
// context-menu commands, keeps them in place each time it is shown, and opens
// the CD ripper, the recorder, the options dialog and the help document.
//
// Its creation creates the options dialog object (which loads the settings and
// becomes the current one) and then the ripper window object, both hidden, and
// owns them to the end of the program. The ripper looks for drives only when
// "CD Ripper" first opens it. The ripper and the recorder live in
// folders above this one, so start-up hands in how to make the ripper and,
// once it has created it, the recorder window.
class TLogoForm : public QWidget {
    Q_OBJECT
public:
    using WindowFactory = std::function<std::unique_ptr<QWidget>()>;

    explicit TLogoForm(const WindowFactory& makeRipperForm, QWidget* parent = nullptr);
    ~TLogoForm() override;

    // The objects this window created and owns.
    TOptionsForm* OptionsForm() const { return optionsForm_.get(); }
    QWidget* RipperForm() const { return ripperForm_.get(); }

    // Runs once, the first time "CD Ripper" opens the ripper, before it is shown:
    // the ripper's drive discovery.
    void SetRipperFirstOpen(std::function<void()> firstOpen) {
        ripperFirstOpen_ = std::move(firstOpen);
    }

    // The recorder window start-up created; shown modally by "Recorder".
    void SetRecorderForm(QDialog* recorder) { recorderForm_ = recorder; }
    QDialog* RecorderForm() const { return recorderForm_; }

    // Controls, named as the design names them.
    QLabel* Image1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Bevel2 = nullptr;
    QLabel* StaticText1 = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QPushButton* BitBtn4 = nullptr;

    // Runs the association dialogue; a failed registry or entry write is shown
    // with the program's error box.
    void FormShow();
    void SpeedButton1Click(); // "CD Ripper": the one ripper window, not modal
    void SpeedButton2Click(); // "Recorder": modal until the recorder closes
    void BitBtn2Click();      // "Deassociate": the removal dialogue
    void BitBtn3Click();      // "Options": the current options dialog, not modal
    void BitBtn4Click();      // " Start help"

signals:
    // The window was closed; as the main window that ends the program.
    void Closed();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<TOptionsForm> optionsForm_;
    std::unique_ptr<QWidget> ripperForm_;
    std::function<void()> ripperFirstOpen_;
    bool ripperOpened_ = false;
    QDialog* recorderForm_ = nullptr;
};
