#include "frmComm.h"
#include "indexerlink.h"
#include "lamp.h"
#include "mainfixture.h"
#include "pockettable.h"
#include "verticalspin.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace
{
QString captionOf(QWidget *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        return frame->title();
    return {};
}
} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QRect>("geometry"); // twips / 15; null for those placed freely
        const QRect free;
        auto row = [](const char *name, const char *kind, const char *caption, const char *tip,
                      QRect geometry) {
            QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                                << QString::fromLatin1(caption) << QString::fromLatin1(tip)
                                << geometry;
        };
        row("cmdExit", "QPushButton", "E&xit", "Exit application.", QRect(348, 20, 53, 21));
        row("cmdComm", "QPushButton", "&Comm", "Setup communications.", QRect(348, 48, 53, 21));
        row("lblComm", "QLabel", "Busy", "", QRect(348, 76, 53, 13));
        row("fraPocket", "QGroupBox", "Pocket", "", QRect(8, 4, 137, 73));
        row("fraMove", "QGroupBox", "Move", "", QRect(8, 84, 137, 73));
        row("fraControl_0", "QGroupBox", "Control", "", QRect(8, 164, 137, 73));
        row("fraSwitches", "QGroupBox", "Switches", "", QRect(8, 244, 137, 73));
        row("fraConfig", "QGroupBox", "Custom Configuration", "", QRect(152, 4, 185, 313));
        row("lblPocket", "QLabel", "?", "", free);
        row("lblReady", "QLabel", "Ready", "", free);
        row("lblbMoving", "QLabel", "Moving", "", free);
        row("optMove_0", "QRadioButton", "Pocket", "Select pocket.", free);
        row("optMove_1", "QRadioButton", "Speed", "Set continuous pocket sweep speed.", free);
        row("lblMove", "QLabel", "1", "", free);
        row("cmdControl_0", "QPushButton", "Read", "Read control configuration.", free);
        row("cmdControl_1", "QPushButton", "Send", "Set control configuration.", free);
        row("optManAuto_0", "QRadioButton", "I/O", "Auto control from digital I/O.", free);
        row("optManAuto_1", "QRadioButton", "Comm", "Auto control from RS232/Ethernet.", free);
        row("cmdSwitches", "QPushButton", "Read", "Read switch settings.", free);
        row("optSwitch_0", "QRadioButton", "Pocket", "Read front panel switches.", free);
        row("optSwitch_1", "QRadioButton", "Select", "Read rear panel pocket swicthes.", free);
        row("lblSwitch", "QLabel", "", "See manual for swicth values.", free);
        row("cmdCustom_0", "QPushButton", "Read", "Read indexer configuration.", free);
        row("cmdCustom_1", "QPushButton", "Send", "Save to indexer.", free);
        row("cmdCustom_2", "QPushButton", "Open", "Open configuration file.", free);
        row("cmdCustom_3", "QPushButton", "Save", "Save configuration to file.", free);
        row("lblColumn_2", "QLabel", "Pocket Type", "", free);
        row("lblColumn_1", "QLabel", "Degrees", "", free);
        row("lblPosition_0", "QLabel", "1", "", free);
        row("lblPosition_7", "QLabel", "8", "", free);
        row("cboMode_0", "QComboBox", "", "Select pocket type.", free);
        row("cboMode_1", "QComboBox", "", "", free);
        row("cboLocation_0", "QComboBox", "", "Select pocket position.", free);
        row("cboLocation_7", "QComboBox", "", "", free);
        row("ledReady", "Lamp", "", "", free);
        row("ledMoving", "Lamp", "", "", free);
        row("spnMove", "VerticalSpin", "", "", free);
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, caption);
        QFETCH(QString, toolTip);
        QFETCH(QRect, geometry);
        MainFixture f(false);
        auto *widget = f.window->findChild<QWidget *>(name);
        QVERIFY2(widget, qPrintable(name));
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
        QCOMPARE(captionOf(widget), caption);
        QCOMPARE(widget->toolTip(), toolTip);
        if (!geometry.isNull())
            QCOMPARE(widget->geometry(), geometry);
    }

    void windowIsFixedAndNothingIsCutOff()
    {
        MainFixture f;
        QCOMPARE(f.window->size(), QSize(410, 324));
        QCOMPARE(f.window->minimumSize(), f.window->maximumSize());
        QCOMPARE(f.window->windowTitle(), QStringLiteral("RV-360 Crucible Indexer - V1.01"));
        const QList<QWidget *> all = f.window->findChildren<QWidget *>();
        for (QWidget *widget : all) {
            if (!widget->isWindow() && widget->parentWidget() && !widget->objectName().isEmpty())
                QVERIFY2(widget->parentWidget()->rect().contains(widget->geometry()),
                         qPrintable(widget->objectName()));
        }
        // Captions fit their controls.
        for (QRadioButton *option : f.window->findChildren<QRadioButton *>())
            QVERIFY2(option->sizeHint().width() <= option->width(),
                     qPrintable(option->objectName()));
        for (QPushButton *button : f.window->findChildren<QPushButton *>()) {
            const QString text = button->text().remove(QLatin1Char('&'));
            QVERIFY2(button->fontMetrics().horizontalAdvance(text) + 8 <= button->width(),
                     qPrintable(button->objectName()));
        }
        for (QLabel *label : f.window->findChildren<QLabel *>())
            QVERIFY2(label->minimumSizeHint().width() <= label->width(),
                     qPrintable(label->objectName()));
        // The pocket rows are 420 twips apart.
        QCOMPARE(f.window->pocketTable->cboMode[1]->y() - f.window->pocketTable->cboMode[0]->y(),
                 28);
        QVERIFY(f.window->lblPocket->font().bold());
        QCOMPARE(f.window->lblPocket->font().pointSize(), 24);
        QCOMPARE(f.window->lblMove->font().pointSize(), 24);
    }

    void startUpWhenThePortOpens()
    {
        MainFixture f;
        QCOMPARE(f.window->lblComm->text(), QStringLiteral("Busy"));
        QCOMPARE(f.window->lblPocket->text(), QStringLiteral("?"));
        QVERIFY(!f.window->ledReady->isOn());
        QVERIFY(!f.window->ledMoving->isOn());
        QCOMPARE(f.window->ledReady->fillColor(), f.window->palette().color(QPalette::Button));
        QCOMPARE(f.window->tmrUpdate.interval(), 500);
        QVERIFY(f.window->tmrUpdate.isActive());
        QVERIFY(f.port.isOpen());
        QCOMPARE(f.port.lineFormat, QStringLiteral("19200,N,8,1"));
        QVERIFY(f.window->optMove[0]->isChecked());
        QVERIFY(!f.window->optManAuto[0]->isChecked());
        QVERIFY(!f.window->optManAuto[1]->isChecked());
        QVERIFY(f.window->optSwitch[0]->isChecked());
        for (int row = 0; row < 8; ++row) {
            QCOMPARE(f.window->pocketTable->cboMode[row]->currentText(),
                     QStringLiteral("Not Used"));
            QCOMPARE(f.window->pocketTable->cboLocation[row]->currentText(), QStringLiteral("0"));
            QCOMPARE(f.window->pocketTable->cboLocation[row]->count(), 360);
        }
        QVERIFY(f.port.written.isEmpty());
        // The first poll goes out on the next turn of the event loop, not a period later.
        QCoreApplication::processEvents();
        QCOMPARE(f.port.commands(), (QStringList{"B?"}));
        QTRY_COMPARE(f.port.commands(), (QStringList{"B?", "D?"}));
    }

    void startUpWhenThePortFails()
    {
        MainFixture f(false);
        f.port.existingPorts.clear();
        f.window->show();
        f.window->Form_Load();
        QVERIFY(frmComm::instance());
        QVERIFY(frmComm::instance()->isVisible());
        // Beside the main window, not over it.
        QVERIFY(frmComm::instance()->x() > f.window->x() + f.window->width() / 2);
        QVERIFY(!f.window->tmrUpdate.isActive());
        QCOMPARE(f.window->tmrUpdate.interval(), 500);
        QVERIFY(!f.port.isOpen());
    }

    void ethernetChoiceOpensNothing()
    {
        MainFixture f(false);
        QFile ini(f.dir.filePath("RV360.INI"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Application]\r\nCommPort=5\r\n");
        ini.close();
        f.window->Form_Load();
        QCOMPARE(CommPort, qint16(5));
        QVERIFY(!frmComm::instance());
        QVERIFY(!f.window->tmrUpdate.isActive());
        QVERIFY(f.port.calls.isEmpty());
    }

    void exitWritesNoSettings()
    {
        MainFixture f;
        const QString before = f.settingsText();
        QCOMPARE(before, QStringLiteral("[Application]\r\n"));
        CommPort = 3;
        QTest::mouseClick(f.window->cmdExit, Qt::LeftButton);
        QCOMPARE(f.exits, 1);
        QCOMPARE(f.settingsText(), before);
        QVERIFY(!f.window->tmrUpdate.isActive());
    }

    void closeWritesSettings()
    {
        MainFixture f;
        CommPort = 3;
        f.window->show();
        QVERIFY(f.window->close());
        QCOMPARE(f.settingsText(), QStringLiteral("[Application]\r\nCommPort=3\r\nEPort=-1\r\n"
                                                  "EAddr=0.0.0.0\r\nConfigFile=RV360.cfg\r\n"));
        QCOMPARE(f.exits, 0);
    }

    void commButtonShowsOneDialogAndStopsThePoll()
    {
        MainFixture f;
        f.window->show();
        QTest::mouseClick(f.window->cmdComm, Qt::LeftButton);
        frmComm *dialog = frmComm::instance();
        QVERIFY(dialog);
        QVERIFY(!f.window->tmrUpdate.isActive());
        QTest::mouseClick(f.window->cmdComm, Qt::LeftButton);
        QCOMPARE(frmComm::instance(), dialog);
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(
            std::count_if(windows.begin(), windows.end(),
                          [](QWidget *w) { return w->isVisible() && qobject_cast<frmComm *>(w); }),
            1);
        QVERIFY(dialog->close());
        QVERIFY(f.window->tmrUpdate.isActive());
    }

    void closeClosesTheDialogFirst()
    {
        MainFixture f;
        f.window->show();
        QTest::mouseClick(f.window->cmdComm, Qt::LeftButton);
        QPointer<frmComm> dialog = frmComm::instance();
        QVERIFY(dialog);
        bool mainVisibleWhenDialogClosed = false;
        struct CloseWatch : QObject {
            std::function<void()> onClose;
            bool eventFilter(QObject *, QEvent *event) override
            {
                if (event->type() == QEvent::Close)
                    onClose();
                return false;
            }
        } watch;
        watch.onClose = [&] { mainVisibleWhenDialogClosed = f.window->isVisible(); };
        dialog->installEventFilter(&watch);
        QVERIFY(f.window->close());
        QVERIFY(mainVisibleWhenDialogClosed);
        QVERIFY(!frmComm::instance());
        QVERIFY(!f.window->isVisible());
        // The poll stays off: the program is ending.
        QVERIFY(!f.window->tmrUpdate.isActive());
        dialog->removeEventFilter(&watch);
    }

    // The window destroyed while a transfer waits for the indexer: nothing of it is used after
    // (the sanitizer build reports any use).
    void destroyedDuringATransfer_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("Read") << 0;
        QTest::newRow("Send") << 1;
    }
    void destroyedDuringATransfer()
    {
        QFETCH(int, button);
        MainFixture f;
        f.window->tmrUpdate.stop();
        f.window->pocketTable->setType(0, Discrete);
        f.window->pocketTable->setType(1, Discrete);
        // Only the count is answered: the rest waits for its timeout.
        f.replies["F?"] = "F:2\r";
        QTest::mouseClick(f.window->cmdCustom[button], Qt::LeftButton);
        const int waiting = button == 0 ? 2 : 1; // G1? after the count, or F2
        QTRY_COMPARE(f.port.written.size(), waiting);
        f.window.reset();
        QTest::qWait(2 * IndexerLink::kTimeoutMs);
        QCOMPARE(f.port.written.size(), waiting);
    }

    // Closing or Exit while a command waits: the wait ends, nothing is called back, and the
    // link takes no more requests.
    void endingDuringAWait_data()
    {
        QTest::addColumn<bool>("exit");
        QTest::newRow("close") << false;
        QTest::newRow("Exit") << true;
    }
    void endingDuringAWait()
    {
        QFETCH(bool, exit);
        MainFixture f;
        f.window->tmrUpdate.stop();
        f.window->show();
        f.replies["I"] = "I:AB\r";
        f.port.replyDelayMs = 50;
        f.window->cmdSwitches_Click();
        if (exit)
            f.window->cmdExit_Click();
        else
            f.window->close();
        QCOMPARE(f.exits, exit ? 1 : 0);
        QVERIFY(f.window->link().isShutDown());
        QTest::qWait(100);
        QCOMPARE(f.window->lblSwitch->text(), QString());
        f.window->cmdControl_Click(0);
        QCOMPARE(f.port.commands(), QStringList{"I"});
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
