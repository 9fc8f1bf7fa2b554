#include "tablefixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

class TestPocketTable : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startUpDefaults()
    {
        TableFixture f;
        for (int row = 0; row < PocketTable::kRows; ++row) {
            QCOMPARE(f.table.cboMode[row]->currentText(), QStringLiteral("Not Used"));
            QCOMPARE(f.table.cboLocation[row]->currentText(), QStringLiteral("0"));
            QCOMPARE(f.table.cboLocation[row]->count(), 360);
            QCOMPARE(f.table.cboLocation[row]->itemText(359), QStringLiteral("359"));
            QCOMPARE(f.table.cboMode[row]->count(), 4);
            QVERIFY(!f.table.cboMode[row]->isEditable());
            QVERIFY(f.table.cboLocation[row]->isEditable());
            QCOMPARE(f.table.lblPosition[row]->text(), QString::number(row + 1));
        }
        QCOMPARE(f.table.cboMode[0]->itemText(1), QStringLiteral("Start Banana"));
    }

    void typedPositionIsValidatedWhenLeft_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("entry");
        QTest::newRow("90") << "90"
                            << "90";
        QTest::newRow("blank 90") << " 90"
                                  << "90";
        QTest::newRow("9 blank 0") << "9 0"
                                   << "90";
        QTest::newRow("90x") << "90x"
                             << "90";
        QTest::newRow("045") << "045"
                             << "45";
        QTest::newRow("12.5") << "12.5"
                              << "12";
        QTest::newRow("13.5") << "13.5"
                              << "14";
        QTest::newRow("90.4") << "90.4"
                              << "90";
        QTest::newRow("359.4") << "359.4"
                               << "359";
        QTest::newRow("359.5") << "359.5"
                               << "0";
        QTest::newRow("360") << "360"
                             << "0";
        QTest::newRow("-1") << "-1"
                            << "0";
        QTest::newRow("-0.4") << "-0.4"
                              << "0";
        QTest::newRow("abc") << "abc"
                             << "0";
        QTest::newRow("empty") << ""
                               << "0";
        QTest::newRow("&H10") << "&H10"
                              << "16";
    }
    void typedPositionIsValidatedWhenLeft()
    {
        QFETCH(QString, typed);
        QFETCH(QString, entry);
        TableFixture f;
        f.set(2, Discrete, 200);
        f.frame.show();
        QApplication::setActiveWindow(&f.frame);
        QVERIFY(QTest::qWaitForWindowActive(&f.frame));
        QComboBox *field = f.table.cboLocation[2];
        field->setFocus();
        QTRY_VERIFY(field->hasFocus());
        field->lineEdit()->selectAll();
        QTest::keyClick(field->lineEdit(), Qt::Key_Backspace);
        QTest::keyClicks(field->lineEdit(), typed);
        // Leaving the field validates it; the type column is untouched.
        f.table.cboMode[0]->setFocus();
        QTRY_VERIFY(!field->hasFocus());
        QCOMPARE(field->currentText(), entry);
        QCOMPARE(f.table.position(2), entry.toInt());
        QCOMPARE(f.table.type(2), int(Discrete));
    }

    void valuesOutsideTheListsAreRefused_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("position");
        QTest::newRow("type 4") << 1 << 4 << 10;
        QTest::newRow("type -1") << 1 << -1 << 10;
        QTest::newRow("position 360") << 1 << 0 << 360;
        QTest::newRow("position -1") << 1 << 0 << -1;
        QTest::newRow("row 8") << 8 << 0 << 10;
    }
    void valuesOutsideTheListsAreRefused()
    {
        QFETCH(int, row);
        QFETCH(int, type);
        QFETCH(int, position);
        TableFixture f;
        f.set(1, EndBanana, 120);
        const auto before = f.rows();
        const bool typeTaken = f.table.setType(row, type);
        const bool positionTaken = f.table.setPosition(row, position);
        QCOMPARE(typeTaken, row < 8 && type >= 0 && type <= 3);
        QCOMPARE(positionTaken, row < 8 && position >= 0 && position < 360);
        if (!typeTaken)
            QCOMPARE(f.table.type(1), before.type(1));
        if (!positionTaken)
            QCOMPARE(f.table.position(1), before.position(1));
    }

    void settingAPositionReplacesTypedText()
    {
        TableFixture f;
        f.table.cboLocation[0]->setEditText("12abc");
        QVERIFY(f.table.setPosition(0, 0));
        QCOMPARE(f.table.cboLocation[0]->currentText(), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestPocketTable)
#include "tst_pockettable.moc"
