#include "commport.h"

#include "linklog.h"
#include "serialport.h"

#include <QString>

bool CloseCommPort(SerialPort &port)
{
    if (!port.isOpen()) {
        // The probe: a missing or busy device shows here.
        if (!port.open())
            return false;
        return port.close();
    }
    return port.close();
}

namespace
{

bool openSteps(SerialPort &port, qint16 portNumber)
{
    CloseCommPort(port);
    if (!port.setPortNumber(portNumber))
        return false;
    if (port.isOpen() && !port.close())
        return false;
    // Open and close once, so that a missing or busy device fails before anything is set.
    if (!port.open())
        return false;
    if (!port.close())
        return false;
    // NUL pass-through, byte-wise delivery and a notification per arrival are how the port
    // always works here; the settings that remain are applied in order.
    if (!port.setLineFormat(QString::fromLatin1(kLineFormat)) || !port.setNoHandshaking() ||
        !port.setReceiveBufferSize(kReceiveBufferSize) || !port.setRequestToSend(false))
        return false;
    return port.open();
}

} // namespace

bool OpenCommPort(SerialPort &port, qint16 portNumber)
{
    if (portNumber < 1)
        return true;
    const bool opened = openSteps(port, portNumber);
    if (opened)
        qCDebug(lcLink).noquote() << "opened" << port.deviceName();
    else
        qCDebug(lcLink).noquote() << "open failed:" << port.deviceName() << port.errorText();
    return opened;
}
