#include "commport.h"

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

bool OpenCommPort(SerialPort &port, qint16 portNumber)
{
    if (portNumber < 1 || portNumber > 9)
        return true;
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
