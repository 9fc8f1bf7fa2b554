#include "fuzztable.h"

#include <QApplication>

void Fuzz::startApplication()
{
    // No display needed. Never destroyed: Qt must not be torn down by static destructors after
    // the fuzzer's exit().
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    abortOnErrorMessage();
}

// fontconfig, loaded by the offscreen platform, keeps a few blocks to the end of the process;
// found by the exit-time leak check, not by the per-input one, and not the project's.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
