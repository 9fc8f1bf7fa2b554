#pragma once

#include "errormessage.h"
#include "frmMain.h"
#include "modFileUtil.h"
#include "simprocess.h"
#include "systemserialport.h"

#include <QFile>
#include <QTemporaryDir>
#include <memory>

// The main window on the real serial port, with COM1 mapped to a running rv360-sim, its program
// directory in a temporary folder and error messages swallowed.
struct SimWindow {
    QTemporaryDir programDir;
    SimProcess sim;
    std::unique_ptr<SystemSerialPort> port;
    std::unique_ptr<frmMain> window;

    bool start(const QStringList &simArgs = {})
    {
        SetProgramDirectoryOverride(programDir.path());
        SetErrorMessageHandler([](const QString &, const QString &) {});
        if (!sim.start(simArgs))
            return false;
        QFile ini(programDir.filePath("RV360.INI"));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write("[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=" + sim.linkPath().toUtf8() +
                  "\r\n");
        ini.close();
        port = std::make_unique<SystemSerialPort>();
        window = std::make_unique<frmMain>(*port);
        window->setExitHandler([] {});
        window->show();
        window->Form_Load();
        return window->tmrUpdate.isActive();
    }
    ~SimWindow()
    {
        window.reset();
        port.reset();
        SetErrorMessageHandler({});
        SetProgramDirectoryOverride({});
    }
};
