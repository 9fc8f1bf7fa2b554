#pragma once

#include <QtGlobal>

class SerialPort;

// (Re)opens the port on number n (1 to 4 a serial device, 5 or more the Ethernet choice) with
// the fixed line settings. A number below 1 changes nothing and counts as success. False when any
// step failed (the port is then closed). A network connection may still be connecting on true.
bool OpenCommPort(SerialPort &port, qint16 portNumber);
// Releases the port (or probes its device when closed). False when that open or close failed.
bool CloseCommPort(SerialPort &port);

// The fixed line settings.
inline constexpr const char *kLineFormat = "19200,N,8,1";
inline constexpr int kReceiveBufferSize = 2048;
