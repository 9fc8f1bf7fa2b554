#include "indexerport.h"

IndexerPort::IndexerPort(QObject *parent) : SerialPort(parent)
{
    // Only the port in use speaks: the other is closed.
    for (SerialPort *port :
         {static_cast<SerialPort *>(&m_serial), static_cast<SerialPort *>(&m_tcp)}) {
        connect(port, &SerialPort::dataReceived, this, &SerialPort::dataReceived);
        connect(port, &SerialPort::deviceLost, this, &SerialPort::deviceLost);
        connect(port, &SerialPort::connectFinished, this, &SerialPort::connectFinished);
    }
}

bool IndexerPort::setPortNumber(int portNumber)
{
    if (isOpen())
        return false;
    m_portNumber = portNumber;
    return current().setPortNumber(portNumber);
}
