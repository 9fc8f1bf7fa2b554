// The shared widgets: the pocket table, the file dialog, and choosing and reading a
// configuration file.
#include "cFileDialog.h"
#include "configfile.h"
#include "configfiledialog.h"
#include "fittext.h"
#include "pockettable.h"
#include "settings.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <sys/resource.h>
#include <sys/stat.h>

class TestUi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The pocket table: "Not Used" rows to start with, values out of range refused, and what is
    // typed taken on leaving the field.
    void pocketTable()
    {
        QWidget frame;
        PocketTable table(&frame, 88);
        table.FillLocationLists();
        table.FillModeLists();
        table.setDefaults();
        QCOMPARE(table.cboMode[7]->currentText(), QStringLiteral("Not Used"));
        QVERIFY(!table.setType(2, 4) && !table.setPosition(2, 360) && !table.setType(8, 0));
        QVERIFY(table.setType(2, EndBanana) && table.setPosition(2, 200));
        // A typed position selects the entry it rounds to, halves to the even one; 360 is none.
        for (const auto &[typed, entry] : {std::pair{"13.5", 14}, {"359.4", 359}, {"359.5", 0}})
            QCOMPARE(PocketTable::validatedPosition(typed), entry);

        // A typed text is no new entry; leaving the field (or its editor) selects the entry the
        // text rounds to.
        for (const int row : {0, 3}) {
            QComboBox *field = table.cboLocation[row];
            field->setEditText(QStringLiteral("12.5x"));
            QTest::keyClick(field->lineEdit(), Qt::Key_Return);
            QFocusEvent leave(QEvent::FocusOut);
            QCoreApplication::sendEvent(row ? field->lineEdit() : static_cast<QObject *>(field),
                                        &leave);
            QVERIFY(field->count() == 360 && table.position(row) == 12);
        }
        // Names typed are taken trimmed on leaving the box; one that breaks the rules or that
        // another pocket has (letter case ignored) is refused: the box goes back to its last good
        // name and the line under the rows says why, until a good one is typed.
        const auto type = [&table](int row, const char *text) {
            table.txtName[row]->setText(QString::fromLatin1(text));
            QFocusEvent leave(QEvent::FocusOut);
            QCoreApplication::sendEvent(table.txtName[row], &leave);
            return table.txtName[row]->text() + u'|' + table.lblNameNote->text();
        };
        QCOMPARE(type(0, " Ti "), QStringLiteral("Ti|"));
        QCOMPARE(type(1, "tI"), QStringLiteral("|Pocket 2: pocket 1 is named Ti already."));
        QVERIFY(type(0, "Au,Ag").startsWith(QLatin1String("Ti|Pocket 1: ")));
        table.setLayout(table.layout()); // a layout read clears the note; a type is never typed
        QVERIFY(table.lblNameNote->text().isEmpty() && !table.cboMode[0]->isEditable());
        QCOMPARE(type(2, "Caf\xe9"), QString::fromLatin1("Caf\xe9|"));
        // Nor separators and direction marks, which hide or turn what a line says.
        QString why;
        for (const QChar c : QStringView(u"\u2028\u2029\u200E\u202E\u2066\u061C"))
            QVERIFY(!PocketLayout::CleanName(QStringLiteral("A") + c + u'u', &why) &&
                    why.endsWith("no control character"));
    }

    // The names in a configuration file's fourth field, read over pockets 1 and 2 named Ti and
    // Cr: a name sets its row's, no field clears it, a bad one (or one an earlier line gave)
    // leaves it, unless another row has it now. A row without a name is written as before.
    void namesInFiles()
    {
        // clang-format off
        const struct { QByteArray text; const char *names; } rows[] = {
            {"1, 3, 1, Au\r\n2, 3, 1\r\n", "Au,,,,,,,"}, {"1,3,1,Au\n2,3,1,aU", "Au,Cr,,,,,,"},
            {"1,3,1,A\x01u\n2,3,1,", "Ti,,,,,,,"}, {"1,3,1,Caf\xe9", "Caf\xe9,Cr,,,,,,"},
            {"1,3,1,0123456789abcdefg\n2,3,1,ti", ",ti,,,,,,"},
            {"1,3,1,0123456789abcdef", "0123456789abcdef,Cr,,,,,,"}};
        // clang-format on
        for (const auto &row : rows) {
            PocketLayout layout;
            QVERIFY(layout.setName(0, "Ti") && layout.setName(1, "Cr"));
            QVERIFY(ParseConfigText(row.text, layout));
            const PocketLayout::Names names = layout.names();
            QCOMPARE(QStringList(names.begin(), names.end()).join(u','), QLatin1String(row.names));
        }
        PocketLayout layout;
        QVERIFY(layout.setName(0, QString::fromLatin1("Caf\xe9")));
        QVERIFY(ConfigFileContents(layout).startsWith("1, 3, 1, Caf\xe9\r\n2, 3, 1\r\n"));
        QString why;
        QVERIFY(!ParseConfigText("1,3,1,Au\n2,3,1,au\n3,3,1\n4,3,1\n5,3,1\n6,3,1\n7,3,1\n8,3,1",
                                 layout, ConfigText::Strict, &why) &&
                why.startsWith("line 2:"));
    }

    // The file dialog as the operator meets it: a typed name gets the extension; a cancel keeps
    // the name.
    void fileDialog()
    {
        QTemporaryDir dir;
        cFileDialog dialog;
        // A description without a pattern at the end is left out.
        dialog.setFilter(QStringLiteral("Logs (*.log)|*.log|Log files (*.cfg)|*.cfg|Odd"));
        dialog.setDefaultExt(QStringLiteral("cfg"));
        dialog.setInitialDir(dir.path());
        dialog.setFlags(cFileDialog::OverwritePrompt);
        dialog.setFileName(QString::fromLatin1("old\0.cfg", 8)); // proposed up to a NUL
        QFileDialog qt;
        dialog.configure(qt, false);
        QCOMPARE(qt.selectedFiles().value(0), dir.filePath(QStringLiteral("old.cfg")));
        QCOMPARE(qt.nameFilters().join(u','), QStringLiteral("Logs (*.log),Log files (*.cfg)"));
        QVERIFY(qt.acceptMode() == QFileDialog::AcceptSave &&
                !qt.testOption(QFileDialog::DontConfirmOverwrite));
        // Answered as the operator answers it: a name typed and saved, then an open cancelled.
        for (const QString &name : {QStringLiteral("pockets"), QString()}) {
            QTimer::singleShot(0, [name] {
                auto *shown = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                shown->selectFile(name);
                QMetaObject::invokeMethod(shown, name.isEmpty() ? "reject" : "accept");
            });
            QCOMPARE(dialog.Show(name.isEmpty()), !name.isEmpty());
            QCOMPARE(dialog.FileName(), dir.filePath(QStringLiteral("pockets.cfg")));
        }
    }

    // A list whose longest item would be cut takes a smaller font; a list that fits keeps its.
    void fontFitsItems()
    {
        QComboBox box;
        box.resize(60, 20);
        box.addItems({QStringLiteral("a much longer item"), QStringLiteral("b")});
        FitFontToItems(&box);
        QVERIFY(box.font().pointSizeF() < QFont().pointSizeF());
        box.setItemText(0, QStringLiteral("a"));
        FitFontToItems(&box);
        QCOMPARE(box.font().pointSizeF(), QFont().pointSizeF());
    }

    // The name proposed is the last file's, with the extension when it has none, in the
    // program's own directory, config files listed; a cancel changes nothing. The chosen file is
    // remembered by its path outside the program's own directory (inside, by its bare name: the
    // main window's transfers show that); a save that fails says so once.
    void configFileChosen()
    {
        TestHome home;
        QString shown, answer; // what the scripted dialog proposed; the path it chooses or none
        cFileDialog::SetShowHandler([&](cFileDialog &dialog, bool) {
            shown =
                dialog.InitialDir() + u'|' + dialog.FileName() + dialog.nameFilters().join(u',');
            QFileDialog qt;
            dialog.configure(qt, false); // a typed name gets the extension
            shown += qt.defaultSuffix();
            dialog.setFileName(answer);
            return !answer.isEmpty();
        });
        const auto scripted = qScopeGuard([] { cFileDialog::SetShowHandler({}); });
        PocketLayout read;
        for (const auto &[setting, proposed] :
             {std::pair{"pockets", "pockets.cfg"}, {"/data/v1.2/pockets", "/data/v1.2/pockets"}}) {
            ConfigFile = QString::fromLatin1(setting);
            QVERIFY(!OpenConfigFile(read, ConfigFile, nullptr));
            QCOMPARE(shown, ProgramDirectory() + u'|' + proposed + "Log files (*.cfg)cfg");
            QCOMPARE(ConfigFile, QString::fromLatin1(setting));
        }
        QTemporaryDir elsewhere;
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg"));
        SaveConfigFile(read, ConfigFile, nullptr);
        QCOMPARE(ConfigFile, answer);
        QVERIFY(home.messages.isEmpty());
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg/sub.cfg"));
        SaveConfigFile(read, ConfigFile, nullptr);
        QCOMPARE(home.messages.size(), 1);
        QVERIFY(home.messages[0].startsWith(QLatin1String("SaveConfigFile: Error: 75. ")));
        // A line end as the first byte is pocket 1's (empty) line, a CR alone a line end too;
        // there is no ninth.
        const QString path = home.dir.filePath(QStringLiteral("layout.cfg"));
        QVERIFY(ReplaceFileAtomically(path, "\r\r3, 0, 5\r\n") && ReadConfigFile(path, read));
        QVERIFY(read.position(1) == 0 && read.position(2) == 4 && !read.setType(8, 0));
        // A write in place cut by a crash: the old contents, kept aside, are read.
        QVERIFY(QDir().mkpath(QFileInfo(KeptCopyPath(path)).path()) &&
                ReplaceFileAtomically(KeptCopyPath(path), "1, 2, 9") && ReadConfigFile(path, read));
        QVERIFY(read.type(0) == EndBanana && read.position(0) == 8);
        // A file that cannot be opened (no descriptor left) is not read.
        rlimit files{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
        const int next = ::dup(STDERR_FILENO); // every lower descriptor is taken
        ::close(next);
        const rlimit none{rlim_t(next), files.rlim_max};
        const bool taken = ::setrlimit(RLIMIT_NOFILE, &none) != 0 || ReadConfigFile(path, read);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &files) == 0 && !taken);
        // A FIFO is refused unopened: an open would wait for a writer.
        const QByteArray fifo = QFile::encodeName(home.dir.filePath(QStringLiteral("fifo.cfg")));
        QVERIFY(::mkfifo(fifo.constData(), 0600) == 0 && !ReadConfigFile(fifo, read) &&
                !WriteConfigFile(fifo, read, nullptr));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
