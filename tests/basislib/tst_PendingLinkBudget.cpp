#include "QtTestSuite.h"
#include <PendingLinkBudget.h>

#include <QtTest>

#include <map>
#include <memory>

namespace {

// Links held in a budget by name ("a1" = the first link of address "a"),
// each remembering whether it was told to go.
class BudgetLinks
{
public:
    explicit BudgetLinks(const PendingLinkBudget::Limits &limits)
        : m_budget(limits)
    {
    }

    bool open(const QString &name, const QString &address)
    {
        auto evicted = m_evicted;
        std::shared_ptr<void> place = m_budget.reserve(address, [evicted, name] { evicted->insert(name); });
        if (!place)
            return false;
        m_places[name] = std::move(place);
        return true;
    }
    void close(const QString &name) { m_places.erase(name); }
    QStringList evicted() const { return QStringList(m_evicted->values()); }
    PendingLinkBudget &budget() { return m_budget; }

private:
    PendingLinkBudget m_budget;
    std::shared_ptr<QSet<QString>> m_evicted = std::make_shared<QSet<QString>>();
    std::map<QString, std::shared_ptr<void>> m_places;
};

PendingLinkBudget::Limits smallLimits()
{
    PendingLinkBudget::Limits limits;
    limits.perAddress = 3;
    limits.total = 5;
    limits.perProvenName = 2;
    return limits;
}

} // namespace

class tst_PendingLinkBudget : public QObject
{
    Q_OBJECT

private slots:
    void addressHoldsItsShareOnly();
    void fullBudgetDropsOldestOfLargestHolder();
    void evictedPlaceIsNotGivenBackTwice();
    void provenNameHoldsFewPlaces();
    void addressKey_data();
    void addressKey();
};

void tst_PendingLinkBudget::addressHoldsItsShareOnly()
{
    BudgetLinks links(smallLimits());
    QVERIFY(links.open("a1", "10.0.0.1") && links.open("a2", "10.0.0.1") && links.open("a3", "10.0.0.1"));
    QVERIFY(!links.open("a4", "10.0.0.1"));
    QVERIFY(links.open("b1", "10.0.0.2"));
    links.close("a1");
    QVERIFY(links.open("a4", "10.0.0.1"));
    QVERIFY(links.evicted().isEmpty());
}

void tst_PendingLinkBudget::fullBudgetDropsOldestOfLargestHolder()
{
    BudgetLinks links(smallLimits());
    // b holds two, a three (its oldest is a1, opened after b1): a holds the most.
    QVERIFY(links.open("b1", "10.0.0.2"));
    QVERIFY(links.open("a1", "10.0.0.1") && links.open("a2", "10.0.0.1") && links.open("a3", "10.0.0.1"));
    QVERIFY(links.open("b2", "10.0.0.2"));
    // Full: a newcomer from a new address gets in, a1 goes.
    QVERIFY(links.open("c1", "10.0.0.3"));
    QCOMPARE(links.evicted(), QStringList{"a1"});
    // Now a and b hold two each: the older link of the two goes (b1).
    QVERIFY(links.open("d1", "10.0.0.4"));
    QCOMPARE(links.evicted().size(), 2);
    QVERIFY(links.evicted().contains("b1"));
}

void tst_PendingLinkBudget::evictedPlaceIsNotGivenBackTwice()
{
    BudgetLinks links(smallLimits());
    for (const char *name : {"a1", "a2", "a3"})
        QVERIFY(links.open(name, "10.0.0.1"));
    QVERIFY(links.open("b1", "10.0.0.2") && links.open("b2", "10.0.0.2"));
    QVERIFY(links.open("c1", "10.0.0.3")); // a1 goes
    // The evicted link ends later: its place was the newcomer's already.
    links.close("a1");
    QVERIFY(links.open("d1", "10.0.0.4"));
    QCOMPARE(links.evicted().size(), 2); // still full: another link went
}

void tst_PendingLinkBudget::provenNameHoldsFewPlaces()
{
    PendingLinkBudget budget(smallLimits());
    std::shared_ptr<void> first = budget.reserveProven("mallory");
    std::shared_ptr<void> second = budget.reserveProven("mallory");
    QVERIFY(first && second);
    QVERIFY(!budget.reserveProven("mallory"));
    QVERIFY(budget.reserveProven("alice"));
    first.reset();
    QVERIFY(budget.reserveProven("mallory"));
}

void tst_PendingLinkBudget::addressKey_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("key");
    QTest::newRow("IPv4") << "192.0.2.7" << "192.0.2.7";
    QTest::newRow("IPv4 mapped into IPv6") << "::ffff:192.0.2.7" << "192.0.2.7";
    QTest::newRow("IPv6: its /64") << "2001:db8:1:2:aaaa:bbbb:cccc:dddd" << "2001:db8:1:2::/64";
    QTest::newRow("another address of the same /64") << "2001:db8:1:2::1" << "2001:db8:1:2::/64";
}

void tst_PendingLinkBudget::addressKey()
{
    QFETCH(QString, address);
    QFETCH(QString, key);
    QCOMPARE(PendingLinkBudget::addressKey(address), key);
}

WIVORA_TEST_GUILESS_MAIN(tst_PendingLinkBudget)
#include "tst_PendingLinkBudget.moc"
