#pragma once

// Presents the program's error message as a modal box with one OK button. Called once by the
// main window; harmless when called again.
void InstallErrorMessageBox();
