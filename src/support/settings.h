#pragma once

#include <QString>
#include <array>

// The four settings kept between runs, loaded at start-up and saved when the main window closes.
extern qint16 CommPort;    // 1..4 serial port COM1..COM4, 5 or more the Ethernet choice
extern int EPort;          // Ethernet choice: TCP port of the serial device server (-1: none)
extern QString EAddr;      // Ethernet choice: its address or host name ("0.0.0.0": none)
extern QString ConfigFile; // last configuration file: bare name (program's directory) or path

// The pockets' names, section "Pockets", keys "Name1" to "Name8": loaded at start-up and saved
// with the four settings (a key is written when its name differs from the file's). Taken
// as they are written; the window keeps the good ones (PocketLayout::setName).
extern std::array<QString, 8> PocketNames;
// The same read directly from the file, for rv360ctl --device.
std::array<QString, 8> ReadPocketNames();

// Read at start-up, never written: whether scripts may connect (section "Remote", key "Enabled",
// default 1) and on which socket (key "Socket", empty: the default), and whether the traffic
// is recorded (section "Log", key "Traffic", default 0).
extern bool RemoteEnabled;
extern QString RemoteSocket;
extern bool LogTraffic;

// The motion supervisor's settings, read at start-up (the program's and rv360ctl's with
// --device), never written: the time a move may take (section "Motion", key "MoveTimeout",
// seconds, 1 to 3600; anything else gives 30) and whether moves are recorded (section "Log", key
// "Moves", default 1). Read directly: no message, the file is never created.
struct MotionSettings {
    int moveTimeoutS = 30;
    bool recordMoves = true;
};
MotionSettings ReadMotionSettings();

// [Instrument]: where the instrument port listens ("ADDRESS:PORT", empty: off) and the peers it
// lets in (addresses and CIDR ranges, comma-separated; empty: loopback only), as written.
struct InstrumentSettings {
    QString listen;
    QString allow;
};
InstrumentSettings ReadInstrumentSettings();

// Reads the settings file (creating it with the line "[Application]" when missing). A file that
// is there but cannot be used (not a regular file, not 8-bit text) gives one message and the
// defaults, and is not written at the save.
void LoadSettings();
// Writes the four settings back.
void SaveSettings();

// Full path of the settings file "RV360.INI" in the program's own directory.
QString SettingsFilePath();

// The device chosen in this run for serial port number n (the setup dialog's device list): it
// opens from now on, and SaveSettings writes it to "[Ports]" when it differs from what the file
// gives. An empty device drops the choice.
void SetPortDevice(int portNumber, const QString &device);

// Where the link goes, as a value: a serial port number (1..4) with the device it opens, or the
// Ethernet choice (5 or more) with the device server's address and TCP port.
struct PortChoice {
    qint16 number = 0;
    QString device;
    QString host;
    int tcpPort = -1;

    static PortChoice serial(qint16 number, const QString &device = {})
    {
        PortChoice choice;
        choice.number = number;
        choice.device = device;
        return choice;
    }
    static PortChoice network(const QString &host, int tcpPort)
    {
        PortChoice choice;
        choice.number = 5;
        choice.host = host;
        choice.tcpPort = tcpPort;
        return choice;
    }

    bool ethernet() const { return number >= 5; }
    // The device path, or "host:port" (an IPv6 address in brackets).
    QString name() const;
    bool operator==(const PortChoice &other) const
    {
        return number == other.number &&
               (ethernet() ? host == other.host && tcpPort == other.tcpPort
                           : device == other.device);
    }
    bool operator!=(const PortChoice &other) const { return !(*this == other); }
};

// The port the settings name: CommPort with its device, or with EAddr and EPort.
PortChoice StoredPortChoice();
// Makes the choice the settings' own: CommPort, and the device of its number (SetPortDevice) or
// the endpoint (EAddr, EPort). Only the window calls it, once the link has changed to it.
void StorePortChoice(const PortChoice &choice);

// The device that serial port number n (1..9) opens: the device chosen in this run, else key
// "COMn" of section "Ports" of the
// settings file when present, else /dev/ttyS<n-1> (Linux) or COMn (Windows). A path over 4096
// characters or holding a NUL gives "[invalid path]", which no open finds.
QString PortDeviceName(int portNumber);
