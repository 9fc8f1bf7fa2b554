#include "frmMain.h"
#include "quitsignals.h"
#include "systemserialport.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SystemSerialPort port;
    frmMain window(port);
    // Ended from outside, the program ends as Close ends it: settings saved, port released.
    const QuitSignals quitSignals([&window](int) {
        window.close();
        QCoreApplication::quit();
    });
    // Shown first, so that a setup dialog opened by the start-up can stand beside it.
    window.show();
    window.Form_Load();
    return app.exec();
}
