#pragma once

#include <QString>

// The four settings kept between runs, loaded at start-up and saved when the main window closes.
extern qint16 CommPort;    // 1..4 serial port COM1..COM4, 5 or more the Ethernet choice
extern qint16 EPort;       // carried from the file back to the file
extern QString EAddr;      // carried from the file back to the file
extern QString ConfigFile; // last configuration file: bare name (program's directory) or path

// Reads the settings file (creating it with the line "[Application]" when missing).
void LoadSettings();
// Writes the four settings back.
void SaveSettings();

// Full path of the settings file "RV360.INI" in the program's own directory.
QString SettingsFilePath();

// The device that serial port number n (1..9) opens: key "COMn" of section "Ports" of the
// settings file when present, else /dev/ttyS<n-1> (Linux) or COMn (Windows).
QString PortDeviceName(int portNumber);
