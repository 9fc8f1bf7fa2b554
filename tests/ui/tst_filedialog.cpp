#include "cFileDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace
{
// Answers the file dialog that Show opens: picks the name (or cancels when it is empty).
void answerDialog(const QString &name)
{
    QTimer::singleShot(0, [name] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        if (name.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(name);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}
} // namespace

class TestFileDialog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void newObjectIsEmpty()
    {
        const cFileDialog dialog;
        QVERIFY(dialog.DefaultExt().isEmpty() && dialog.DialogTitle().isEmpty() &&
                dialog.FileName().isEmpty() && dialog.FileTitle().isEmpty() &&
                dialog.Filter().isEmpty() && dialog.InitialDir().isEmpty());
        QCOMPARE(dialog.FilterIndex(), qint16(0));
        QCOMPARE(dialog.Flags(), 0);
        QCOMPARE(dialog.MaxFileSize(), qint16(0));
        QVERIFY(!dialog.hWndParent());
    }

    void configure_data()
    {
        QTest::addColumn<bool>("open");
        QTest::addColumn<QString>("proposed");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<QString>("selected");
        QTest::newRow("save, bare name starts in InitialDir") << false << "RV360.cfg"
                                                              << "initial"
                                                              << "RV360.cfg";
        QTest::newRow("open, full path starts in its own directory") << true << "OTHER/layout.cfg"
                                                                     << "other"
                                                                     << "layout.cfg";
    }
    void configure()
    {
        QFETCH(bool, open);
        QFETCH(QString, proposed);
        QFETCH(QString, directory);
        QFETCH(QString, selected);
        QTemporaryDir initial, other;
        cFileDialog dialog;
        dialog.setDialogTitle("Save Config File");
        dialog.setFilter("Log files (*.cfg)|*.cfg");
        dialog.setDefaultExt("cfg");
        dialog.setFlags(0x806);
        dialog.setInitialDir(initial.path());
        dialog.setFileName(QString(proposed).replace("OTHER", other.path()));
        QFileDialog qt;
        qt.setOption(QFileDialog::DontUseNativeDialog);
        dialog.configure(qt, open);
        QCOMPARE(qt.windowTitle(), QStringLiteral("Save Config File"));
        QCOMPARE(qt.nameFilters(), QStringList{"Log files (*.cfg)"});
        QCOMPARE(qt.defaultSuffix(), QStringLiteral("cfg"));
        QCOMPARE(qt.acceptMode(), open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        QVERIFY(!qt.testOption(QFileDialog::DontConfirmOverwrite));
        QCOMPARE(qt.directory().absolutePath(),
                 QDir(directory == "initial" ? initial.path() : other.path()).absolutePath());
        QVERIFY(qt.selectedFiles().value(0).endsWith(selected));
    }

    void savingATypedNameAddsTheDefaultExtension()
    {
        QTemporaryDir dir;
        cFileDialog dialog;
        dialog.setFilter("Log files (*.cfg)|*.cfg");
        dialog.setDefaultExt("cfg");
        dialog.setInitialDir(dir.path());
        answerDialog("pockets");
        QVERIFY(dialog.Show(false));
        QCOMPARE(dialog.FileName(), QDir(dir.path()).filePath("pockets.cfg"));
        QCOMPARE(dialog.FileTitle(), QStringLiteral("pockets.cfg"));
    }

    void cancelLeavesTheName()
    {
        cFileDialog dialog;
        dialog.setFileName("kept.cfg");
        answerDialog({});
        QVERIFY(!dialog.Show(true));
        QCOMPARE(dialog.FileName(), QStringLiteral("kept.cfg"));
    }

    void longPathsAreAllowed()
    {
        QTemporaryDir dir;
        QString deep = dir.path();
        while (deep.size() < 300)
            deep += "/folder-with-a-long-name";
        QVERIFY(QDir().mkpath(deep));
        cFileDialog dialog;
        dialog.setFileName(deep + "/x.cfg");
        answerDialog("x.cfg");
        QVERIFY(dialog.Show(false));
        QCOMPARE(dialog.FileName(), deep + "/x.cfg");
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The Qt dialog, so that the tests can answer it.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    TestFileDialog test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_filedialog.moc"
