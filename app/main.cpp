#include "ApplicationSetup.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    setUpApplication(application);
    return runMainWindow(application);
}
