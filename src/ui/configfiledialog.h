#pragma once

#include "pocketlayout.h"

class QWidget;

// Lets the operator choose a configuration file and reads it into the layout. False when
// cancelled or when the file cannot be read (the layout unchanged, no message; one message for a
// FIFO, device or directory, which is never opened).
bool OpenConfigFile(PocketLayout &layout, QWidget *owner);
// Lets the operator choose a file and writes the layout to it. The file is replaced whole or not
// at all; a failure shows one error message titled "SaveConfigFile".
void SaveConfigFile(const PocketLayout &layout, QWidget *owner);
