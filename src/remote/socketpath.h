#pragma once

#include <QString>
#include <QStringList>

// The places of the running program's control socket, in the order the program picks the first
// and rv360ctl tries them all: rv360.sock in $XDG_RUNTIME_DIR, then in the user's runtime folder
// /run/user/<uid> (RV360_USER_RUNTIME_DIR names another), each when it is the user's and
// private, then in the private folder rv360-<uid> of the temporary directory when it is there
// and private. A script started without a session (cron, ssh) finds the window's socket so.
QStringList SocketPathCandidates();

// Where the program serves its socket by default: the first candidate, else rv360.sock in the
// private folder rv360-<uid> of the temporary directory (made when missing); empty when that
// folder is not private (someone else made it).
QString DefaultSocketPath();
