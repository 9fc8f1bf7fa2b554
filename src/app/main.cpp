#include "frmMain.h"
#include "systemserialport.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SystemSerialPort port;
    frmMain window(port);
    // Shown first, so that a setup dialog opened by the start-up can stand beside it.
    window.show();
    window.Form_Load();
    return app.exec();
}
