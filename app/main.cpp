#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Tormane Solutions");
    QCoreApplication::setApplicationName("Vendrax");
    QLabel window(QObject::tr("Vendrax"));
    window.resize(480, 240);
    window.show();
    return application.exec();
}
