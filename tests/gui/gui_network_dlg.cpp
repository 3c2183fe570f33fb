// The network settings dialog: the address list, the checked ranges of port
// and time-out, and what OK hands back.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "app/command_ids.h"
#include "app/dialog_units.h"
#include "app/lumbra_network_dlg.h"
#include "gui_test_env.h"

class NetworkDlgTest : public QObject {
    Q_OBJECT

    struct Opened {
        CLumbraNetworkDlg dlg;
        Opened(const std::string& address, int port, int timeout, int plainScan)
        {
            dlg.m_strIPAddress = address;
            dlg.m_nPort = port;
            dlg.m_nTimeout = timeout;
            dlg.m_bPlainScan = plainScan;
            dlg.OnInitDialog();
            dlg.show();
        }
        QComboBox* Addresses() { return Control<QComboBox>(dlg, ids::IDC_COMBO_IPADDRESS); }
        // Types both numbers and presses OK; true if the dialog ended with OK.
        bool Ok(const QString& port, const QString& timeout)
        {
            Control<QLineEdit>(dlg, ids::IDC_EDIT_PORT)->setText(port);
            Control<QLineEdit>(dlg, ids::IDC_EDIT_TIMEOUT)->setText(timeout);
            dlg.accept();
            return dlg.result() == QDialog::Accepted && !dlg.isVisible();
        }
    };

private slots:
    void addressListSortedAndCurrentSelected()
    {
        GuiTestEnv env;
        env.SetAdapters({{"wlan0", "192.168.0.7"}, {"eth0", "10.0.0.5"}, {"eth1", "172.16.1.1"}});
        Opened o("172.16.1.1", 21, 5, 0);
        QCOMPARE(o.Addresses()->count(), 3);
        QCOMPARE(o.Addresses()->itemText(0), QString("10.0.0.5"));
        QCOMPARE(o.Addresses()->itemText(2), QString("192.168.0.7"));
        QCOMPARE(o.Addresses()->currentText(), QString("172.16.1.1"));
    }

    void equalAddressesAllListedLastSelected()
    {
        GuiTestEnv env;
        env.SetAdapters({{"eth0", "10.0.0.5"}, {"br0", "10.0.0.5"}, {"eth1", "10.0.0.9"}});
        Opened o("10.0.0.5", 21, 5, 0);
        QCOMPARE(o.Addresses()->count(), 3);
        QCOMPARE(o.Addresses()->currentIndex(), 1);
    }

    void absentAddressSelectsNothingAndOkKeepsIt()
    {
        GuiTestEnv env;
        Opened o("10.9.9.9", 21, 5, 0);  // the adapter went away
        QCOMPARE(o.Addresses()->currentIndex(), -1);
        QVERIFY(o.Ok("21", "5"));
        QCOMPARE(o.dlg.GetIPAddress(), std::string("10.9.9.9"));
    }

    void noAdapterListLeavesTheBoxEmpty()
    {
        GuiTestEnv env;
        platform::SetAdapterListOverride([](std::vector<platform::AdapterInfo>&) { return false; });
        Opened o("127.0.0.1", 21, 5, 0);
        QCOMPARE(o.Addresses()->count(), 0);
    }

    void controlsShowTheValuesGiven()
    {
        GuiTestEnv env;
        Opened o("127.0.0.1", 2121, 30, 1);
        QCOMPARE(Control<QLineEdit>(o.dlg, ids::IDC_EDIT_PORT)->text(), QString("2121"));
        QCOMPARE(Control<QLineEdit>(o.dlg, ids::IDC_EDIT_TIMEOUT)->text(), QString("30"));
        QVERIFY(Control<QCheckBox>(o.dlg, ids::IDC_CHECK_PLAINSCAN)->isChecked());
        QCOMPARE(o.dlg.windowTitle(), QString("Network 설정"));
        QStringList labels;
        for (const QLabel* label : o.dlg.findChildren<QLabel*>())
            labels << label->text();
        QVERIFY(labels.contains("타임아웃(분) :"));  // the value counts minutes
    }

    void okHandsBackTheChosenValues()
    {
        GuiTestEnv env;
        Opened o("127.0.0.1", 21, 5, 0);
        o.Addresses()->setCurrentIndex(o.Addresses()->findText("192.168.0.10"));
        Control<QCheckBox>(o.dlg, ids::IDC_CHECK_PLAINSCAN)->setChecked(true);
        QVERIFY(o.Ok(" 2121 ", "60"));
        QCOMPARE(o.dlg.GetIPAddress(), std::string("192.168.0.10"));
        QCOMPARE(o.dlg.m_nPort, 2121);
        QCOMPARE(o.dlg.m_nTimeout, 60);
        QCOMPARE(o.dlg.m_bPlainScan, 1);
        QVERIFY(env.messages.empty());
    }

    void rangeEdgesAccepted_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("timeout");
        QTest::newRow("lowest") << "0" << "5";
        QTest::newRow("highest") << "65535" << "300";
    }
    void rangeEdgesAccepted()
    {
        QFETCH(QString, port);
        QFETCH(QString, timeout);
        GuiTestEnv env;
        Opened o("127.0.0.1", 21, 5, 0);
        QVERIFY(o.Ok(port, timeout));
        QCOMPARE(o.dlg.m_nPort, port.toInt());
        QCOMPARE(o.dlg.m_nTimeout, timeout.toInt());
    }

    // A refused value gets the prompt, the focus goes to its field and the
    // dialog stays open with nothing handed back.
    void badValuesRefused_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("prompt");
        const QString portRange = "0에서 65535 사이의 정수를 입력하십시오.";
        const QString timeoutRange = "5에서 300 사이의 정수를 입력하십시오.";
        const QString notNumber = "정수를 입력하십시오.";
        QTest::newRow("port 65536") << "65536" << "5" << ids::IDC_EDIT_PORT << portRange;
        QTest::newRow("port empty") << "" << "5" << ids::IDC_EDIT_PORT << notNumber;
        QTest::newRow("port huge") << "99999999999" << "5" << ids::IDC_EDIT_PORT << notNumber;
        QTest::newRow("timeout 4") << "21" << "4" << ids::IDC_EDIT_TIMEOUT << timeoutRange;
        QTest::newRow("timeout 301") << "21" << "301" << ids::IDC_EDIT_TIMEOUT << timeoutRange;
        QTest::newRow("timeout -5") << "21" << "-5" << ids::IDC_EDIT_TIMEOUT << timeoutRange;
        QTest::newRow("timeout text") << "21" << "5m" << ids::IDC_EDIT_TIMEOUT << notNumber;
    }
    void badValuesRefused()
    {
        QFETCH(QString, port);
        QFETCH(QString, timeout);
        QFETCH(int, field);
        QFETCH(QString, prompt);
        GuiTestEnv env;
        Opened o("127.0.0.1", 21, 5, 0);
        QVERIFY(!o.Ok(port, timeout));
        QVERIFY(o.dlg.isVisible());
        QCOMPARE(env.messages.size(), size_t(1));
        QCOMPARE(QString::fromStdString(env.messages[0].text), prompt);
        QCOMPARE(env.messages[0].icon, platform::MessageIcon::Warning);
        QCOMPARE(o.dlg.focusWidget(), Control<QLineEdit>(o.dlg, field));
        QCOMPARE(o.dlg.m_nPort, 21);
        QCOMPARE(o.dlg.m_nTimeout, 5);
        // Corrected, the same dialog accepts.
        QVERIFY(o.Ok("21", "5"));
    }

    // The FTPS group lies below the template's controls, which keep their
    // places, and holds its own.
    void tlsGroupBelowTheTemplate()
    {
        GuiTestEnv env;
        Opened o("127.0.0.1", 21, 5, 0);
        const QRect group = Control<QWidget>(o.dlg, ids::IDC_GROUP_TLS)->geometry();
        for (int id : {ids::IDC_COMBO_IPADDRESS, ids::IDC_EDIT_PORT, ids::IDC_EDIT_TIMEOUT, ids::IDC_CHECK_PLAINSCAN,
                       ids::IDOK, ids::IDCANCEL})
            QVERIFY(Control<QWidget>(o.dlg, id)->geometry().bottom() < group.top());
        QCOMPARE(Control<QWidget>(o.dlg, ids::IDCANCEL)->geometry(), DialogUnits(o.dlg.font()).ToPixels(81, 99, 50, 14));
        for (int id = ids::IDC_RADIO_TLS_OFF; id <= ids::IDC_CHECK_TLS_LEGACY; ++id)
            QVERIFY(group.contains(Control<QWidget>(o.dlg, id)->geometry()));
        QVERIFY(o.dlg.height() > group.bottom());
    }

    void portFieldTakesDigitsOnly()
    {
        GuiTestEnv env;
        Opened o("127.0.0.1", 21, 5, 0);
        auto* port = Control<QLineEdit>(o.dlg, ids::IDC_EDIT_PORT);
        port->clear();
        QTest::keyClicks(port, "2a1-");
        QCOMPARE(port->text(), QString("21"));
    }
};

QTEST_MAIN(NetworkDlgTest)
#include "gui_network_dlg.moc"
