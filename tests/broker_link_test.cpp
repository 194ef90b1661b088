// The broker link on its own against a real broker: no station, no sensor.
#include "broker_link.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QSet>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plant.h"

using namespace kvextest;

// The link on its own against a real broker. A fault no reconnect mends (a
// last will on a topic that is no UTF-8) stops it with the reason, after one
// try. Otherwise each connection gets the will of its own asked just before
// it, and says its births before anything that waits, also after the broker
// came back; a link let go without a finish leaves that connection's will.
TEST(BrokerLinkWithABroker, APermanentFaultStopsItAndEachConnectionSaysItsBirthsFirst) {
    Broker broker("births", "", true);
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "births");
    std::atomic<int> wills{0};
    BrokerLinkConfig c;
    c.host = "127.0.0.1";
    c.port = broker.port();
    c.clientId = "births-test";
    c.measurementTopic = "births/m";
    c.stateTopic = "births/state";
    c.queueLimit = 100;
    {
        BrokerLinkConfig bad = c;
        bad.will = [&] {
            ++wills;
            return BrokerMessage{"births/\xe9tat", "{}", true};
        };
        BrokerLink link;
        ASSERT_TRUE(link.Start(bad));
        link.Enqueue("{\"n\": 0}");
        EXPECT_TRUE(Within(60, [&] { return link.Figures().state == BrokerState::Stopped; }));
        const BrokerLink::Left left = link.Finish(0, "births/state", "{}", 30, true);
        EXPECT_EQ(left.unsent, 1u);
        EXPECT_TRUE(std::strstr(link.Figures().reason, "stopped: the last will"))
            << link.Figures().reason;
        EXPECT_TRUE(std::strstr(link.Figures().reason, "UTF-8")) << link.Figures().reason;
        EXPECT_EQ(wills, 1) << "tried once, never again";
    }

    // Asked before every attempt, also those the broker was not there for.
    wills = 0;
    std::mutex mu;
    std::string lastWill;
    std::atomic<int> births{0};
    c.will = [&] {
        std::lock_guard<std::mutex> lock(mu);
        lastWill = "{\"will\": " + std::to_string(++wills) + "}";
        return BrokerMessage{"births/state", lastWill, true};
    };
    c.onConnect = [&] {
        return std::vector<BrokerMessage>{
            {"births/birth", "{\"birth\": " + std::to_string(++births) + "}", false}};
    };
    auto link = std::make_unique<BrokerLink>();
    ASSERT_TRUE(link->Start(c));
    for (int n = 1; n <= 3; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    ASSERT_TRUE(Within(60, [&] { return link->Figures().delivered == 3; }));
    broker.Stop();
    ASSERT_TRUE(Within(60, [&] { return link->Figures().state != BrokerState::Connected; }));
    for (int n = 4; n <= 6; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(Within(60, [&] { return link->Figures().delivered == 6; }));
    link.reset();  // no finish: the broker hands out this connection's will
    EXPECT_GE(wills, 2);
    EXPECT_EQ(births, 2);

    QStringList order;
    ASSERT_TRUE(Within(60, [&] { return plant.Of("births/m").size() >= 6; }));
    // What the restarted broker had in flight to the plant it hands over
    // again: the very same message, not one the link sent twice.
    for (const QString &line : plant.Lines())
        if ((line.startsWith("births/birth ") || line.startsWith("births/m ")) &&
            !order.contains(line))
            order.append(line);
    EXPECT_EQ(order, QStringList({"births/birth {\"birth\": 1}", "births/m {\"n\": 1}",
                                  "births/m {\"n\": 2}", "births/m {\"n\": 3}",
                                  "births/birth {\"birth\": 2}", "births/m {\"n\": 4}",
                                  "births/m {\"n\": 5}", "births/m {\"n\": 6}"}));
    const QJsonObject will = QJsonDocument::fromJson(QByteArray::fromStdString(lastWill)).object();
    EXPECT_TRUE(Within(60, [&] { return Retained(broker, "births/state") == will; }))
        << lastWill << " vs "
        << QJsonDocument(Retained(broker, "births/state")).toJson().toStdString();

    // Let go while it finishes on its own (the window's switch): it still
    // sends what waits and its last text, and the process joins it after.
    c.will = nullptr;
    c.onConnect = nullptr;
    c.clientId = "births-finish";
    link = std::make_unique<BrokerLink>();
    ASSERT_TRUE(link->Start(c));
    for (int n = 7; n <= 9; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    link->Finish(0, "births/state", "{\"online\": false}", 10, false);
    link.reset();
    const QJsonObject offline({{"online", false}});
    EXPECT_TRUE(Within(60, [&] { return Retained(broker, "births/state") == offline; }));
    const auto distinct = [&] {
        QSet<QString> lines;
        for (const QString &line : plant.Lines())
            if (line.startsWith("births/m ")) lines.insert(line);
        return lines.size();
    };
    EXPECT_TRUE(Within(60, [&] { return distinct() >= 9; }));
    EXPECT_EQ(distinct(), 9);
}
