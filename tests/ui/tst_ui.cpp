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
    QString shown;  // what the scripted file dialog was set up with
    QString answer; // the full path it chooses; empty: cancel

private Q_SLOTS:
    void init()
    {
        home = std::make_unique<TestHome>();
        cFileDialog::SetShowHandler([this](cFileDialog &dialog, bool fOpen) {
            shown = QStringList{QString::number(fOpen),
                                dialog.DialogTitle(),
                                dialog.FileName(),
                                dialog.InitialDir(),
                                dialog.Filter(),
                                dialog.DefaultExt(),
                                QString::number(dialog.Flags())}
                        .join(u'|');
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
            {"90", 90}, {" 9 0x", 90}, {"045", 45}, {"12.5", 12}, {"13.5", 14}, {"359.4", 359},
            {"359.5", 0}, {"360", 0}, {"-1", 0}, {"-0.4", 0}, {"abc", 0}, {"", 0}, {"&H10", 16}};
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
    // the name; a long path is fine.
    void fileDialog()
    {
        QTemporaryDir dir;
        QString deep = dir.path();
        while (deep.size() < 300)
            deep += QStringLiteral("/folder-with-a-long-name");
        QVERIFY(QDir().mkpath(deep));
        cFileDialog::SetShowHandler({});
        cFileDialog dialog;
        dialog.setFilter(QStringLiteral("Logs (*.log)|*.log|Log files (*.cfg)|*.cfg"));
        dialog.setFilterIndex(3); // past the end: the last
        dialog.setDefaultExt(QStringLiteral("cfg"));
        dialog.setInitialDir(deep);
        dialog.setFlags(cFileDialog::OverwritePrompt);
        QFileDialog qt;
        dialog.configure(qt, false);
        QCOMPARE(qt.selectedNameFilter(), QStringLiteral("Log files (*.cfg)"));
        QCOMPARE(qt.acceptMode(), QFileDialog::AcceptSave);
        QVERIFY(!qt.testOption(QFileDialog::DontConfirmOverwrite));
        answerDialog(QStringLiteral("pockets"));
        QVERIFY(dialog.Show(false));
        QCOMPARE(dialog.FileName(), deep + QStringLiteral("/pockets.cfg"));
        QCOMPARE(dialog.FileTitle(), QStringLiteral("pockets.cfg"));
        answerDialog({});
        QVERIFY(!dialog.Show(true));
        QCOMPARE(dialog.FileName(), deep + QStringLiteral("/pockets.cfg"));
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

    // How Open and Save set up the dialog from the last file; a cancel changes nothing.
    void configDialogSetUp()
    {
        // clang-format off
        const std::pair<QString, QString> rows[] = {{"RV360.cfg", "RV360.cfg"},
            {"pockets", "pockets.cfg"}, {"/data/v1.2/pockets", "/data/v1.2/pockets"}, {"", ""}};
        // clang-format on
        PocketLayout layout;
        for (const auto &[setting, proposed] : rows) {
            for (const bool open : {true, false}) {
                ConfigFile = setting;
                QVERIFY(open ? !OpenConfigFile(layout, nullptr)
                             : (SaveConfigFile(layout, nullptr), true));
                QCOMPARE(shown,
                         QStringList({QString::number(open),
                                      open ? "Open Config File" : "Save Config File", proposed,
                                      ProgramDirectory(), "Log files (*.cfg)|*.cfg", "cfg", "2054"})
                             .join(u'|'));
                QCOMPARE(ConfigFile, setting);
            }
        }
    }

    // The chosen file is remembered: a bare name in the program's own directory, else the path;
    // what is saved opens the same, and a save that fails says so once.
    void configFileChosen()
    {
        PocketLayout saved;
        saved.setType(0, Discrete);
        saved.setPosition(0, 7);
        answer = home->dir.filePath(QStringLiteral("mine.cfg"));
        SaveConfigFile(saved, nullptr);
        QCOMPARE(ConfigFile, QStringLiteral("mine.cfg"));
        PocketLayout opened;
        QVERIFY(OpenConfigFile(opened, nullptr));
        QVERIFY(opened == saved);
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg"));
        SaveConfigFile(saved, nullptr);
        QCOMPARE(ConfigFile, answer);
        QVERIFY(home->messages.isEmpty());
        answer = elsewhere.filePath(QStringLiteral("MINE.cfg/sub.cfg"));
        SaveConfigFile(saved, nullptr);
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
        SaveConfigFile(saved, nullptr);
        QDir::setCurrent(before);
        QVERIFY(QFile::exists(home->dir.filePath(QStringLiteral("bare.cfg"))));
        QCOMPARE(ConfigFile, QStringLiteral("bare.cfg"));
    }
};

QTEST_MAIN(TestUi)
#include "tst_ui.moc"
