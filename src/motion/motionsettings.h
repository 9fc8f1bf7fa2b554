#pragma once

// The motion supervisor's settings, read at start-up (the program's and rv360ctl's with
// --device), never written: the time a move may take (section "Motion", key "MoveTimeout",
// seconds, 1 to 3600; anything else gives 30) and whether moves are recorded (section "Log", key
// "Moves", default 1). Read directly: no message, the file is never created.
struct MotionSettings {
    int moveTimeoutS = 30;
    bool recordMoves = true;

    static MotionSettings Read();
};
