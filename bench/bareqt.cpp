// rv360-bench-bareqt [PATH]: the least a Qt Widgets program does before its first poll: a window
// with a label, shown, then the frame written to PATH once the event loop runs (as the program's
// first poll is). The floor of the program's start-up and memory; it stays until it is ended.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QByteArray path = argc == 2 ? argv[1] : "";
    QWidget window;
    window.setFixedSize(410, 324);
    QLabel label(QStringLiteral("?"), &window);
    window.show();
    QTimer::singleShot(0, &window, [&path] {
        if (path.isEmpty())
            return;
        static const char frame[] = "$B?\r\n";
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, frame, sizeof frame - 1) != sizeof frame - 1)
            QCoreApplication::exit(1);
        // The descriptor stays open: the frame must be read before the pty loses its opener.
    });
    return QApplication::exec();
}
