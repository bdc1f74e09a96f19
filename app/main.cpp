#include "ApplicationSetup.h"
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    setUpApplication(application);

    auto* window = new MainWindow;
    window->show();
    const int exitCode = application.exec();
    delete window;
    return exitCode;
}
