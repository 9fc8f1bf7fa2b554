#pragma once

#include <QString>

// Where the running program's control socket is by default, for the server and rv360ctl alike:
// $XDG_RUNTIME_DIR/rv360.sock when that folder is the user's and private, else rv360.sock in the
// private folder rv360-<uid> of the temporary directory (made when missing); empty when that
// folder is not private (someone else made it).
QString DefaultSocketPath();
