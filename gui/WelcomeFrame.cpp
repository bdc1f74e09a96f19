#include "WelcomeFrame.h"

#include "ui_WelcomeFrame.h"

#include "UserPrompts.h"

#include <QDebug>

WelcomeFrame::WelcomeFrame(QWidget* parent, const CaptureDevices& devices)
    : QWidget(parent), ui(new Ui::WelcomeFrame), devices_(devices)
{
    ui->setupUi(this);

    const std::optional<QList<CaptureDevices::Choice>> choices = devices_.choices();
    if (!choices) {
        showCriticalMessage(this, tr("Fatal Error"), tr("Unable to detect capture interfaces."));
        return;
    }
    for (const CaptureDevices::Choice& choice : *choices) {
        qDebug() << "capture device" << choice.device;
        ui->ifaceComboBox->insertItem(ui->ifaceComboBox->count(), choice.text, choice.device);
    }
}

WelcomeFrame::~WelcomeFrame()
{
    delete ui;
}

void WelcomeFrame::on_startButton_clicked()
{
    QString device;
    if (ui->ifaceComboBox->currentIndex() == 0)
        device = devices_.defaultRouteDevice();  // "Auto" follows the route of the moment
    else
        device = ui->ifaceComboBox->currentData(Qt::UserRole).toString();

    if (device.isEmpty()) {
        showCriticalMessage(this, tr("Start Monitoring"),
                    tr("Unable to detect your internet connection interface. Please make "
                       "sure you are connected before start monitoring."));
        return;
    }

    ui->startButton->setText(tr("Stop Monitoring"));
    // The slot connected by name was connected by its signature, so it must be
    // disconnected the same way. A unique connection keeps a stray second
    // return to idle from wiring the same slot twice.
    disconnect(ui->startButton, nullptr, this, SLOT(on_startButton_clicked()));
    connect(ui->startButton, SIGNAL(clicked()), this, SLOT(on_stopButton_clicked()), Qt::UniqueConnection);
    ui->ifaceComboBox->setEnabled(false);
    emit startMonitoring(device);
}

void WelcomeFrame::on_stopButton_clicked()
{
    showIdle();
    emit stopMonitoring();
}

void WelcomeFrame::errorStartingMonitoring()
{
    showIdle();
}

void WelcomeFrame::showIdle()
{
    ui->startButton->setText(tr("Start Monitoring"));
    disconnect(ui->startButton, nullptr, this, SLOT(on_stopButton_clicked()));
    connect(ui->startButton, SIGNAL(clicked()), this, SLOT(on_startButton_clicked()), Qt::UniqueConnection);
    ui->ifaceComboBox->setEnabled(true);
}
