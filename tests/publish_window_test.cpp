// The Publish window against a real broker: the front-end in the test's
// process, driven as the operator drives it.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <QAccessible>
#include <QFile>
#include <QTest>
#include <cstring>

#include "kvex_app.h"
#include "publish.h"
#include "sparkplug_host.h"
#include "ui_qt.h"

using namespace kvextest;

namespace {

// The file the window keeps a remembered password in, emptied for the test.
QString FreshKeptPasswordFile() {
    char settings[300] = "";
    if (!GetSettingsFile(settings, sizeof settings)) return {};
    const QString kept = QString(settings) + ".mqtt-password";
    QFile::remove(kept);
    return kept;
}

QByteArray KeptText(const QString &kept) {
    QFile f(kept);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

}  // namespace

// Type the password, tick Remember, close the window: the running publisher
// takes the password at once, the choice and the password are kept for the
// next start, and from the first password on the process leaves no core dump.
TEST(PublishWindow, ClosingItAppliesAndKeepsThePasswordAndAPasswordKeepsCoreDumpsOff) {
    const QString passwords = StationPasswords("window-passwords");
    ASSERT_FALSE(passwords.isEmpty());
    Broker broker("window", "allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n");
    ASSERT_TRUE(broker.Start());
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QString kept = FreshKeptPasswordFile();
    ASSERT_FALSE(kept.isEmpty());
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);

    const QByteArray url = QString("mqtt://station@127.0.0.1:%1/w").arg(broker.port()).toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    EXPECT_TRUE(kvextest::PumpUntil(
        [] { return std::strstr(PublishingFigures().reason, "not authorised") != nullptr; }, 60));
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1) << "no password yet";

    SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
    SetCtrlVal(pPublish, PUBLISH_KeepPassword, 1);
    SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);  // the test's broker has no TLS
    kvextest::KVexApp::Commit(CC_PublishClose, pPublish, PUBLISH_PublishClose);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    EXPECT_TRUE(kvextest::PumpUntil([] { return PublishingFigures().connected; }, 60))
        << PublishingFigures().reason;
    EXPECT_EQ(GetSettingNumber("publish/keep_password", 0), 1);
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "s3cret-Word");
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    StopPublishing(60, true);
    QFile::remove(kept);
}

// Remember password acts when it is switched, publishing on or off: on, the
// password typed is kept; off, the kept file goes at once and the settings
// say so, and the next start finds no password.
TEST(PublishWindow, RememberPasswordSwitchedOffDeletesTheKeptPasswordAtOnce) {
    Broker broker("remember");
    ASSERT_TRUE(broker.Start());
    QString kept;
    {
        kvextest::KVexApp app;
        ASSERT_TRUE(app.Start());
        kept = FreshKeptPasswordFile();
        ASSERT_FALSE(kept.isEmpty());
        DisplayPanel(pPublish);
        const QByteArray url = broker.url("remember").toUtf8();
        SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
        SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
        SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);
        QWidget *remember = UiControlWidget(pPublish, PUBLISH_KeepPassword);
        ASSERT_NE(remember, nullptr);
        const auto keptText = [&] { return KeptText(kept); };
        for (const bool publishing : {false, true}) {
            if (publishing) {
                SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
                kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
            }
            ASSERT_EQ(PublishingOn(), publishing);
            QTest::mouseClick(remember, Qt::LeftButton);
            EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_KeepPassword), 1);
            EXPECT_EQ(keptText(), "s3cret-Word") << "publishing " << publishing;
            EXPECT_EQ(GetSettingNumber("publish/keep_password", 0), 1);
            QTest::mouseClick(remember, Qt::LeftButton);
            EXPECT_FALSE(QFile::exists(kept)) << "publishing " << publishing;
            EXPECT_EQ(GetSettingNumber("publish/keep_password", 1), 0);
            EXPECT_EQ(PublishingOn(), publishing) << "publishing goes on as it was";
        }
        StopPublishing(60, true);
    }
    kvextest::KVexApp again;
    ASSERT_TRUE(again.Start(true, true));
    char password[64] = "?";
    GetCtrlVal(pPublish, PUBLISH_BrokerPassword, password, sizeof password);
    EXPECT_STREQ(password, "");
    EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_KeepPassword), 0);
    StopPublishing(60, true);
}

// The window refuses what the command line refuses: a CA file with mqtt://,
// and a password over it unless Send password without TLS is on; it says
// why in its state and leaves Publishing off.
TEST(PublishWindow, APasswordOrACaFileOverPlainMqttIsRefusedUnlessAllowed) {
    Broker broker("plainwindow");
    ASSERT_TRUE(broker.Start());
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QByteArray url = broker.url("pw").toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    const auto switchOn = [] {
        SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
        kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
        char state[400] = "";
        GetCtrlVal(pPublish, PUBLISH_PublishState, state, sizeof state);
        return std::string(state);
    };
    SetCtrlVal(pPublish, PUBLISH_CaFile, "/etc/ssl/certs/ca-certificates.crt");
    const std::string refused = switchOn();
    EXPECT_EQ(refused.rfind("Cannot publish: a CA file is for TLS", 0), 0u) << refused;
    EXPECT_FALSE(PublishingOn());
    EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_PublishOn), 0);

    SetCtrlVal(pPublish, PUBLISH_CaFile, "");
    SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
    EXPECT_EQ(switchOn().rfind("Cannot publish: mqtt:// is not encrypted", 0), 0u);
    EXPECT_FALSE(PublishingOn());

    SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);
    switchOn();
    EXPECT_TRUE(PublishingOn());
    StopPublishing(60, true);
}

// The window's choice: Sparkplug B without a name is refused in words, with
// one the node is born on the broker and says its death when switched off;
// its QoS 1 switch reaches the broker and is remembered.
TEST(PublishWindow, SparkplugChosenInTheWindowBirthsTheNodeAndAnUnnamedOneIsRefused) {
    Broker broker("window-spark", "allow_anonymous true\nlog_type all\n");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "spBv1.0/win", true);
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QByteArray url = QString("mqtt://127.0.0.1:%1").arg(broker.port()).toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    SetCtrlVal(pPublish, PUBLISH_PublishFormat, 1);
    SetCtrlVal(pPublish, PUBLISH_SparkplugName, "");
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    char state[400] = "";
    GetCtrlVal(pPublish, PUBLISH_PublishState, state, sizeof state);
    EXPECT_STREQ(state, "Cannot publish: Sparkplug B needs GROUP/EDGE_NODE[/DEVICE]");
    EXPECT_FALSE(PublishingOn());

    SetCtrlVal(pPublish, PUBLISH_SparkplugName, "win/station-2");
    SetCtrlVal(pPublish, PUBLISH_SparkplugQos, 1);
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    ASSERT_TRUE(kvextest::PumpUntil([] { return PublishingFigures().connected; }, 60));
    char text[320];
    BrokerStateText(text, sizeof text);
    EXPECT_TRUE(std::strstr(text, "Sparkplug B node win/station-2")) << text;
    // The window as the operator sees it, under the build tree.
    DisplayPanel(pPublish);
    EXPECT_EQ(SavePanelImage(pPublish, KVEX_TEST_OUTPUT "/publish_window.png"), 0);
    ASSERT_TRUE(HeardSparkplug(plant, "NBIRTH", 1));
    EXPECT_EQ(GetSettingNumber("publish/format", 0), 1);
    EXPECT_EQ(GetSettingNumber("publish/sparkplug_qos", 0), 1);
    EXPECT_EQ(AsPublished(broker, "win")["NBIRTH"], std::set<QString>{"q1 r0"});
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 0);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    ASSERT_TRUE(HeardSparkplug(plant, "NDEATH", 1));
    const QList<SpMessage> got = SparkplugMessages(plant);
    EXPECT_EQ(got.front().topic, "spBv1.0/win/NBIRTH/station-2");
    EXPECT_EQ(got.back().topic, "spBv1.0/win/NDEATH/station-2");
}

// As the operator does it: the password typed into the field, Remember
// password ticked with the mouse, a character more typed, the window closed
// with its button. The kept file holds what the field showed each time.
TEST(PublishWindow, RememberPasswordKeepsWhatWasTypedIntoTheField) {
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QString kept = FreshKeptPasswordFile();
    ASSERT_FALSE(kept.isEmpty());
    const auto keptText = [&] { return KeptText(kept); };
    DisplayPanel(pPublish);
    QWidget *field = UiControlWidget(pPublish, PUBLISH_BrokerPassword);
    QWidget *remember = UiControlWidget(pPublish, PUBLISH_KeepPassword);
    QWidget *close = UiControlWidget(pPublish, PUBLISH_PublishClose);
    ASSERT_TRUE(field && remember && close);
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClicks(field, "s3cret-Word");
    QTest::mouseClick(remember, Qt::LeftButton);
    EXPECT_EQ(keptText(), "s3cret-Word") << "kept as it is ticked";
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, "2");
    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_EQ(keptText(), "s3cret-Word2") << "kept again at Close";
    EndPublishing();  // as the program ends
    EXPECT_EQ(keptText(), "s3cret-Word2") << "kept as the program ended";
    EXPECT_EQ(QFile(kept).permissions() & (QFile::ReadGroup | QFile::ReadOther),
              QFile::Permissions());
    // A password that an on-screen keyboard or a screen reader's tool puts
    // into the field is the field's text as much as a typed one: once it was
    // kept as an empty file, and the next start logged in without it.
    QAccessibleInterface *access = QAccessible::queryAccessibleInterface(field);
    ASSERT_NE(access, nullptr);
    access->setText(QAccessible::Value, QStringLiteral("from-the-keyboard"));
    QTest::mouseClick(remember, Qt::LeftButton);
    QTest::mouseClick(remember, Qt::LeftButton);
    EXPECT_EQ(keptText(), "from-the-keyboard");
    QFile::remove(kept);
}
