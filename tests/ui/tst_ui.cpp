// The shared widgets: the pocket table, the file dialog, and choosing a configuration file.
#include "cFileDialog.h"
#include "configfiledialog.h"
#include "fittext.h"
#include "pockettable.h"
#include "settings.h"
#include "testhome.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

namespace
{
// Answers the file dialog that Show opens: picks the name, or cancels when it is empty.
void answerDialog(const QString &name)
{
    QTimer::singleShot(0, [name] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        if (name.isEmpty())
            return dialog->reject();
        dialog->selectFile(name);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}
} // namespace

class TestUi : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHome> home;
    QTemporaryDir elsewhere;
    QString shown;  // the name the scripted file dialog proposed
    QString answer; // the full path it chooses; empty: cancel

private Q_SLOTS:
    void init()
    {
        home = std::make_unique<TestHome>();
        cFileDialog::SetShowHandler([this](cFileDialog &dialog, bool) {
            shown = dialog.FileName();
            if (answer.isEmpty())
                return false;
            dialog.setFileName(answer);
            return true;
        });
        ConfigFile = QStringLiteral("RV360.cfg");
        answer.clear();
    }
    void cleanup()
    {
        cFileDialog::SetShowHandler({});
        home.reset();
    }

    // The entry a typed position selects when the field is left.
    void typedPosition()
    {
        // clang-format off
        const std::pair<const char *, int> rows[] = {
            {" 9 0x", 90}, {"12.5", 12}, {"13.5", 14}, {"359.4", 359}, {"359.5", 0}, {"360", 0},
            {"-1", 0}};
        // clang-format on
        for (const auto &[typed, entry] : rows)
            QVERIFY2(PocketTable::validatedPosition(typed) == entry, typed);
    }

    void pocketTable()
    {
        QWidget frame;
        frame.resize(185, 313);
        PocketTable table(&frame, 88);
        table.FillLocationLists();
        table.FillModeLists();
        table.setDefaults();
        QCOMPARE(table.cboMode[7]->currentText(), QStringLiteral("Not Used"));
        QCOMPARE(table.cboLocation[7]->itemText(359), QStringLiteral("359"));
        PocketLayout layout;
        layout.setType(2, EndBanana);
        layout.setPosition(2, 200);
        table.setLayout(layout);
        QVERIFY(table.layout() == layout);
        QVERIFY(!table.setType(2, 4) && !table.setPosition(2, 360) && !table.setType(8, 0));
        QVERIFY(table.setType(2, EndBanana) && table.setPosition(2, 200));
        QVERIFY(table.layout() == layout);

        // Leaving a typed field validates it; opening its own list is not leaving it.
        frame.show();
        QApplication::setActiveWindow(&frame);
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        QComboBox *field = table.cboLocation[0];
        field->setFocus();
        field->lineEdit()->selectAll();
        QTest::keyClicks(field->lineEdit(), QStringLiteral("12.5x"));
        QTest::keyClick(field->lineEdit(), Qt::Key_Return);
        QCOMPARE(field->count(), 360); // a typed text is no new entry
        table.cboMode[0]->setFocus();
        QTRY_COMPARE(field->currentText(), QStringLiteral("12"));
        QCOMPARE(table.position(0), 12);
    }

    // The file dialog as the operator meets it: a typed name gets the extension; cancel keeps
    // the name.
    void fileDialog()
    {
        QTemporaryDir dir;
        const QString folder = dir.path();
        cFileDialog::SetShowHandler({});
        cFileDialog dialog;
        // A description without a pattern at the end is left out.
        dialog.setFilter(QStringLiteral("Logs (*.log)|*.log|Log files (*.cfg)|*.cfg|Odd"));
        dialog.setFilterIndex(3); // past the end: the last
        dialog.setDefaultExt(QStringLiteral("cfg"));
        dialog.setInitialDir(folder);
        dialog.setFlags(cFileDialog::OverwritePrompt);
        QFileDialog qt;
        dialog.configure(qt, false);
        QCOMPARE(qt.selectedNameFilter(), QStringLiteral("Log files (*.cfg)"));
        QCOMPARE(qt.acceptMode(), QFileDialog::AcceptSave);
        QVERIFY(!qt.testOption(QFileDialog::DontConfirmOverwrite));
        answerDialog(QStringLiteral("pockets"));
        QVERIFY(dialog.Show(false));
        QCOMPARE(dialog.FileName(), folder + QStringLiteral("/pockets.cfg"));
        answerDialog({});
        QVERIFY(!dialog.Show(true));
        QCOMPARE(dialog.FileName(), folder + QStringLiteral("/pockets.cfg"));
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

    // The name proposed is the last file's, with the extension when it has none; a cancel changes
    // nothing. The chosen file is remembered: a bare name in the program's own directory, else
    // the path; what is saved opens the same, and a save that fails says so once.
    void configFileChosen()
    {
        for (const auto &[setting, proposed] :
             {std::pair{"pockets", "pockets.cfg"}, {"/data/v1.2/pockets", "/data/v1.2/pockets"}}) {
            ConfigFile = QString::fromLatin1(setting);
            PocketLayout unchanged;
            QVERIFY(!OpenConfigFile(unchanged, ConfigFile, nullptr));
            QCOMPARE(shown, QString::fromLatin1(proposed));
            QCOMPARE(ConfigFile, QString::fromLatin1(setting));
        }
        PocketLayout saved;
        saved.setType(0, Discrete);
        saved.setPosition(0, 7);
        answer = home->dir.filePath(QStringLiteral("mine.cfg"));
        SaveConfigFile(saved, ConfigFile, nullptr);
        QCOMPARE(ConfigFile, QStringLiteral("mine.cfg"));
        PocketLayout opened;
        QVERIFY(OpenConfigFile(opened, ConfigFile, nullptr));
        QVERIFY(opened == saved);
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg"));
        SaveConfigFile(saved, ConfigFile, nullptr);
        QCOMPARE(ConfigFile, answer);
        QVERIFY(home->messages.isEmpty());
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg/sub.cfg"));
        SaveConfigFile(saved, ConfigFile, nullptr);
        QCOMPARE(home->messages.size(), 1);
        QVERIFY(home->messages[0].startsWith(QLatin1String("SaveConfigFile: Error: 75. ")));
        // A bare name is the program's own directory whatever the working directory.
        const QString before = QDir::currentPath();
        QDir::setCurrent(elsewhere.path());
        cFileDialog::SetShowHandler([](cFileDialog &dialog, bool) {
            dialog.setFileName(dialog.InitialDir() + dialog.FileName());
            return true;
        });
        ConfigFile = QStringLiteral("bare");
        SaveConfigFile(saved, ConfigFile, nullptr);
        QDir::setCurrent(before);
        QVERIFY(QFile::exists(home->dir.filePath(QStringLiteral("bare.cfg"))));
        QCOMPARE(ConfigFile, QStringLiteral("bare.cfg"));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
