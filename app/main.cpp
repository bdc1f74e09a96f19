#include "HttpResource.h"
#include "MainWindow.h"
#include "VendraxResources.h"

#include <QApplication>
#include <QFile>
#include <QNetworkProxyFactory>
#include <QTime>

#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // Together these name the settings store and the data folder.
    QCoreApplication::setOrganizationName(QStringLiteral("Tormane Solutions"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("vendrax.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Vendrax"));

    QNetworkProxyFactory::setUseSystemConfiguration(true);
    registerHttpResourceMetaType();
    initVendraxResources();

    QFile styleSheet(QStringLiteral(":/ui/stylesheet.qss"));
    if (styleSheet.open(QIODevice::ReadOnly)) {
        application.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
        styleSheet.close();
    }

    std::srand(static_cast<unsigned>(QTime::currentTime().msec()));

    auto* window = new MainWindow;
    window->show();
    const int exitCode = application.exec();
    delete window;
    return exitCode;
}
