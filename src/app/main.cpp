#include "frmMain.h"
#include "systemserialport.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SystemSerialPort port;
    frmMain window(port);
    window.Form_Load();
    window.show();
    return app.exec();
}
