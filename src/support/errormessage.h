#pragma once

#include <QString>
#include <functional>

// The program's one error message: the failing procedure's name as title and
// "Error: <number>. <description>" as text. A program with windows presents it as a modal box
// with an OK button (see SetErrorMessagePresenter); without one it is a line on stderr.
void ShowErrorMessage(const QString &title, int number, const QString &description);

// The text the message shows: "Error: " + number + ". " + description.
QString ErrorMessageText(int number, const QString &description);

// Tests capture the message instead of showing it. An empty handler restores the presentation.
using ErrorMessageHandler = std::function<void(const QString &title, const QString &text)>;
void SetErrorMessageHandler(ErrorMessageHandler handler);
// How the program presents the message (the widget layer installs its message box); empty:
// a line on stderr.
void SetErrorMessagePresenter(ErrorMessageHandler presenter);

// Error numbers used in the messages.
namespace ErrorNumber
{
inline constexpr int Overflow = 6;
inline constexpr int BadFileName = 52;
inline constexpr int FileNotFound = 53;
inline constexpr int DeviceIo = 57;
inline constexpr int DiskFull = 61;
inline constexpr int PermissionDenied = 70;
inline constexpr int PathFileAccess = 75;
inline constexpr int PathNotFound = 76;
} // namespace ErrorNumber
