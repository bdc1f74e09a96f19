#include "ApplicationSetup.h"

#include "HttpResource.h"
#include "VendraxResources.h"

#include <QApplication>
#include <QFile>
#include <QImageReader>
#include <QNetworkProxyFactory>
#include <QTime>

#include <cstdlib>

void setUpApplication(QApplication& application)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tormane Solutions"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("vendrax.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Vendrax"));

    QNetworkProxyFactory::setUseSystemConfiguration(true);
    registerHttpResourceMetaType();
    initVendraxResources();

    // A style sheet that cannot be read leaves the default look.
    QFile styleSheet(QStringLiteral(":/ui/stylesheet.qss"));
    if (styleSheet.open(QIODevice::ReadOnly)) {
        application.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
        styleSheet.close();
    }

    // Every QImage load of the program goes through QImageReader, which checks
    // this bound against the size a file's header announces.
    QImageReader::setAllocationLimit(imageAllocationLimitMiB);

    std::srand(static_cast<unsigned>(QTime::currentTime().msec()));
}
