#pragma once

#include <QWidget>

#include "CaptureDevices.h"

namespace Ui {
class WelcomeFrame;
}

// The first page: the quick-start text and the button that starts and stops
// monitoring, beside the choice of capture device ("Auto" or one of the
// devices found when the page was built).
//
// Whether monitoring runs is carried only by the button: its text, which slot
// its clicked() reaches, and whether the device choice is enabled.
class WelcomeFrame : public QWidget {
    Q_OBJECT

public:
    // `devices` answers which devices exist and which one "Auto" means; tests
    // hand in one reading files of their own.
    explicit WelcomeFrame(QWidget* parent = nullptr, const CaptureDevices& devices = CaptureDevices());
    ~WelcomeFrame() override;

signals:
    // The device to capture on; the main window builds the capture thread.
    void startMonitoring(QString interface);
    void stopMonitoring();

public slots:
    // The capture thread could not start: back to the idle look, no signal.
    void errorStartingMonitoring();

private slots:
    void on_startButton_clicked();
    void on_stopButton_clicked();

private:
    void showIdle();

    Ui::WelcomeFrame* ui;
    CaptureDevices devices_;
};
