#pragma once

class QWidget;

// Closes every open window other than the given one, then the given one. A window that refuses
// to close ends the procedure there with the error message titled "CloseForms".
void CloseForms(QWidget *mainWindow);
