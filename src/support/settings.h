#pragma once

#include <QString>
#include <array>

// The settings file, and the settings the window keeps: each layer below reads its own section
// (the link's port choice, the supervisor's, the control socket's and the instrument port's).

// The four settings kept between runs, loaded at start-up and saved when the main window closes.
extern qint16 CommPort;    // 1..4 serial port COM1..COM4, 5 or more the Ethernet choice
extern int EPort;          // Ethernet choice: TCP port of the serial device server (-1: none)
extern QString EAddr;      // Ethernet choice: its address or host name ("0.0.0.0": none)
extern QString ConfigFile; // last configuration file: bare name (program's directory) or path

// The pockets' names, section "Pockets", keys "Name1" to "Name8": loaded at start-up, saved by
// SavePocketNames as the window takes them and with the four settings (a key is written when
// its name differs from the file's). Taken as they are written; the window keeps the good ones
// (PocketLayout::setName).
extern std::array<QString, 8> PocketNames;
// The same read directly from the file, for rv360ctl --device.
std::array<QString, 8> ReadPocketNames();

// Reads the settings file (creating it with the line "[Application]" when missing). A file that
// is there but cannot be used (not a regular file, not 8-bit text) gives one message and the
// defaults, and is not written at the save.
void LoadSettings();
// Writes the four settings back.
void SaveSettings();
// Writes the names alone, in one atomic replacement: they are the operator's data, kept the
// moment they are taken, whether the program then ends by Close, Exit or a crash.
void SavePocketNames();

// Full path of the settings file "RV360.INI" in the program's own directory.
QString SettingsFilePath();

// The device chosen in this run for serial port number n (the setup dialog's device list): it
// opens from now on, and SaveSettings writes it to "[Ports]" when it differs from what the file
// gives. An empty device drops the choice.
void SetPortDevice(int portNumber, const QString &device);

// The device that serial port number n (1..9) opens: the device chosen in this run, else key
// "COMn" of section "Ports" of the
// settings file when present, else /dev/ttyS<n-1> (Linux) or COMn (Windows). A path over 4096
// characters or holding a NUL gives "[invalid path]", which no open finds.
QString PortDeviceName(int portNumber);
