#pragma once

#include "pocketlayout.h"

#include <QString>

class QWidget;

// Lets the operator choose a configuration file, proposing fileName, and reads it into the
// layout. The choice goes back in fileName: a bare name for a file in the program's own
// directory, else the path. False when cancelled or when the file cannot be read (the layout
// unchanged, no message; one message for a FIFO, device or directory, which is never opened).
bool OpenConfigFile(PocketLayout &layout, QString &fileName, QWidget *owner);
// Lets the operator choose a file, as above, and writes the layout to it. The file is replaced
// whole or not at all; a failure shows one error message titled "SaveConfigFile".
void SaveConfigFile(const PocketLayout &layout, QString &fileName, QWidget *owner);
