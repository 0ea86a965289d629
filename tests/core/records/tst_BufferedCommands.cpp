// The buffered-command store: stores of several users wired to each other
// through a wire thread that stamps what a link stamps; the relay against a
// real wivora-server; the file form read back independently.

#include "QtTestSuite.h"
#include "BufferedCommands.h"
#include "BufferedCommandsFile.h"
#include "ClientSessionFixture.h"
#include "SessionState.h"

#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDataStream>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using Direction = BufferedCommands::Direction;

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Carol = QStringLiteral("carol");
const QString SenderKey = QStringLiteral("Wivora::sender");
const QString ConnectionIdKey = QStringLiteral("Wivora::connectionID");

// A record whose binary form is exactly `size` bytes long.
KvrConfig recordOfSize(int size, const QString &name, const QString &command = QStringLiteral("wmail:::"))
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), command + name);
    record.SetValue(QStringLiteral("body"), QByteArray());
    const int missing = size - record.SerializeConfigBinary().size();
    record.SetValue(QStringLiteral("body"), QByteArray(qMax(missing, 0), 'x'));
    return record;
}

KvrConfig message(const QString &name)
{
    return recordOfSize(200, name);
}

QString nameOf(const KvrConfig &record)
{
    return record.gv(QStringLiteral("command")).section(QStringLiteral(":::"), 1);
}

QStringList namesOf(const QList<KvrConfig> &records)
{
    QStringList names;
    for (const KvrConfig &record : records)
        names << nameOf(record);
    return names;
}

template<typename T>
class Log
{
public:
    void append(const T &item)
    {
        QMutexLocker lock(&m_mutex);
        m_items.append(item);
    }
    QList<T> items() const
    {
        QMutexLocker lock(&m_mutex);
        return m_items;
    }
    int size() const { return items().size(); }

private:
    mutable QMutex m_mutex;
    QList<T> m_items;
};

struct Carried
{
    QString from;
    QString to;
    KvrConfig record;
};

// The links between the stores: carries each record on its own thread, as
// the link layer does, stamping the sender and the link's identifier. It can
// hold what is put on it (to release it later) and be closed.
class Wire : public QObject
{
public:
    Wire()
    {
        moveToThread(&m_thread);
        m_thread.start();
    }
    ~Wire() override
    {
        close();
        flush();
        m_thread.quit();
        m_thread.wait();
    }

    void attach(const QString &user, BufferedCommands *store)
    {
        QMutexLocker lock(&m_mutex);
        m_stores.insert(user, store);
    }

    void detach(const QString &user)
    {
        QMutexLocker lock(&m_mutex);
        m_stores.remove(user);
    }

    void carry(const KvrConfig &record, const QString &from, const QString &to)
    {
        log.append({from, to, record});
        QMutexLocker lock(&m_mutex);
        if (m_closed)
            return;
        if (m_holding)
            m_held.append({from, to, record});
        else
            post({from, to, record});
    }

    void hold()
    {
        QMutexLocker lock(&m_mutex);
        m_holding = true;
    }
    void release()
    {
        QMutexLocker lock(&m_mutex);
        m_holding = false;
        for (const Carried &carried : qAsConst(m_held))
            post(carried);
        m_held.clear();
    }
    // Everything put on the wire from now on is lost.
    void close()
    {
        QMutexLocker lock(&m_mutex);
        m_closed = true;
        m_held.clear();
    }
    // Returns once everything posted so far has been handed over.
    void flush()
    {
        QMetaObject::invokeMethod(this, [] {}, Qt::BlockingQueuedConnection);
    }

    // The parts (not the acknowledgements) put on the wire, in order.
    QList<KvrConfig> parts() const
    {
        QList<KvrConfig> parts;
        for (const Carried &carried : log.items()) {
            if (!carried.record.CheckKeyExist(QStringLiteral("response")))
                parts << carried.record;
        }
        return parts;
    }

    Log<Carried> log;

private:
    // Called with m_mutex held.
    void post(const Carried &carried)
    {
        BufferedCommands *store = m_stores.value(carried.to);
        if (!store)
            return; // nobody there
        KvrConfig record = carried.record;
        record.sv(SenderKey, carried.from);
        record.sv(ConnectionIdKey, carried.from + QStringLiteral("->") + carried.to);
        QMetaObject::invokeMethod(this, [store, record] { store->receiveBufferedPart(record); },
                                  Qt::QueuedConnection);
    }

    QThread m_thread;
    QMutex m_mutex;
    QHash<QString, BufferedCommands *> m_stores;
    QList<Carried> m_held;
    bool m_holding = false;
    bool m_closed = false;
};

struct Progress
{
    Direction direction;
    QString user;
    int percent;
};

using RelayRoad = std::function<bool(const QString &user, const KvrConfig &record,
                                     const QSharedPointer<WivoraAccount> &account)>;

// One client: its session, its store and what reached it.
class Peer
{
public:
    Peer(const QString &user, Wire *wire)
        : name(user)
    {
        logIn(user);
        BufferedCommands::Roads roads;
        roads.send = [this, wire](const KvrConfig &record, const QString &to, const QString &) {
            wire->carry(record, name, to);
        };
        roads.hasPeerLink = [](const QString &) { return true; };
        roads.deliver = [this, wire](const KvrConfig &record) {
            int acknowledged = 0;
            for (const Carried &carried : wire->log.items())
                acknowledged += carried.from == name && carried.record.CheckKeyExist(QStringLiteral("response"));
            acknowledgedBeforeDelivery.append(acknowledged);
            if (storeFails)
                return false;
            delivered.append(record);
            return true;
        };
        roads.relay = [this](const QString &user, const KvrConfig &record,
                             const QSharedPointer<WivoraAccount> &account) {
            relayOffers.append(record);
            QMutexLocker lock(&m_relayMutex);
            return m_relay ? m_relay(user, record, account) : false;
        };
        roads.progress = [this](Direction direction, const QString &user, int percent) {
            progress.append({direction, user, percent});
        };
        store.reset(new BufferedCommands(&session, roads));
        wire->attach(user, store.get());
    }

    // A fresh account of user, as a login leaves it.
    void logIn(const QString &user)
    {
        auto account = QSharedPointer<WivoraAccount>::create();
        account->setUserName(user);
        session.setAccount(account);
    }
    void setRelay(RelayRoad relay)
    {
        QMutexLocker lock(&m_relayMutex);
        m_relay = std::move(relay);
    }
    QList<int> progressOf(Direction direction) const
    {
        QList<int> percents;
        for (const Progress &report : progress.items()) {
            if (report.direction == direction)
                percents << report.percent;
        }
        return percents;
    }

    const QString name;
    SessionState session;
    Log<KvrConfig> delivered;
    // How many parts this peer had acknowledged when each record was delivered.
    Log<int> acknowledgedBeforeDelivery;
    Log<KvrConfig> relayOffers;
    Log<Progress> progress;
    // While set, a received record cannot be stored (a full disk).
    std::atomic<bool> storeFails{false};
    std::unique_ptr<BufferedCommands> store;

private:
    QMutex m_relayMutex;
    RelayRoad m_relay;
};

// Clients wired to each other. The wire closes before the stores go, so
// nothing reaches a store that is gone.
class Network
{
public:
    explicit Network(const QStringList &users)
    {
        for (const QString &user : users)
            m_peers.emplace(user, std::make_unique<Peer>(user, &wire));
    }
    ~Network()
    {
        wire.close();
        wire.flush();
        for (auto &peer : m_peers)
            peer.second->store.reset();
    }
    Peer &operator[](const QString &user) { return *m_peers.at(user); }

    // Ends user's store (waiting for its senders) once nothing on the wire
    // can reach it any more.
    void closeStore(const QString &user)
    {
        wire.detach(user);
        wire.flush();
        m_peers.at(user)->store.reset();
    }

    Wire wire;

private:
    std::map<QString, std::unique_ptr<Peer>> m_peers;
};

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The snapshot with the journal's changes, read as the next run reads them.
QList<KvrConfig> recordsInFile(const QString &owner, const QString &user)
{
    return BufferedCommandsStore::replay(bytesOf(BufferedCommands::filePath(owner)),
                                         bytesOf(BufferedCommands::journalPath(owner)))
        .queues.value(user);
}

// Both files' bytes.
QByteArray fileBytes(const QString &owner)
{
    return bytesOf(BufferedCommands::filePath(owner)) + bytesOf(BufferedCommands::journalPath(owner));
}

// Writes the stored form by hand, as another program would.
class FileWriter
{
public:
    FileWriter()
        : m_stream(&bytes, QIODevice::WriteOnly)
    {
        m_stream.setVersion(QDataStream::Qt_4_6);
    }
    FileWriter &count(qint32 n)
    {
        m_stream << n;
        return *this;
    }
    FileWriter &name(const QString &text)
    {
        m_stream << text;
        return *this;
    }
    FileWriter &record(const KvrConfig &record)
    {
        m_stream << record.SerializeConfigBinary();
        return *this;
    }
    FileWriter &raw(const QByteArray &data)
    {
        m_stream.writeRawData(data.constData(), data.size());
        return *this;
    }
    FileWriter &user(const QString &user, const QList<KvrConfig> &records)
    {
        count(records.size()).name(user);
        for (const KvrConfig &r : records)
            record(r);
        return *this;
    }
    bool writeTo(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    QByteArray bytes;

private:
    QDataStream m_stream;
};

} // namespace

class tst_BufferedCommands : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void recordTravelsInParts_data();
    void recordTravelsInParts();
    void recordsForOneUserGoInOrder();
    void recordNotStoredIsNotAcknowledged();
    void refusedAdd_data();
    void refusedAdd();
    void acknowledgementCountsOnlyFromTheReceiver_data();
    void acknowledgementCountsOnlyFromTheReceiver();
    void partsFromPeers_data();
    void partsFromPeers();

    void unreachablePeerGoesThroughTheRelay_data();
    void unreachablePeerGoesThroughTheRelay();
    void logoutWhileInFlightLeavesTheFile();
    void nextSessionDelivers_data();
    void nextSessionDelivers();

    void fileLayout();
    void everyPrefixOfAFileLoadsWhatIsIntact();
    void damagedFile_data();
    void damagedFile();

private:
    QScopedPointer<QTemporaryDir> m_data;
};

void tst_BufferedCommands::init()
{
    // Every case starts with an empty storage root.
    m_data.reset(new QTemporaryDir);
    QVERIFY(m_data->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
}

void tst_BufferedCommands::recordTravelsInParts_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("parts");
    QTest::addColumn<QList<int>>("receiveProgress");

    QTest::newRow("100 bytes") << 100 << 1 << QList<int>{100, -1};
    QTest::newRow("two full parts") << 131072 << 2 << QList<int>{0, 100, -1};
    QTest::newRow("one byte more") << 131073 << 3 << QList<int>{0, 50, 100, -1};
}

void tst_BufferedCommands::recordTravelsInParts()
{
    QFETCH(int, size);
    QFETCH(int, parts);
    QFETCH(QList<int>, receiveProgress);

    Network net({Alice, Bob});
    const KvrConfig record = recordOfSize(size, QStringLiteral("message"));
    QCOMPARE(record.SerializeConfigBinary().size(), size);

    QVERIFY(net[Alice].store->addBufferedCommand(Bob, record));
    QTRY_COMPARE(net[Bob].delivered.size(), 1);
    QTRY_VERIFY(net[Alice].store->pendingCommands(Bob).isEmpty());

    KvrConfig expected = record;
    expected.sv(SenderKey, Alice);
    QCOMPARE(net[Bob].delivered.items().first(), expected);
    // The last part is acknowledged only once the record was handed on: a
    // receiver that ends in between gets it again.
    QCOMPARE(net[Bob].acknowledgedBeforeDelivery.items(), QList<int>{parts - 1});

    const QByteArray form = record.SerializeConfigBinary();
    const QList<KvrConfig> sent = net.wire.parts();
    QCOMPARE(sent.size(), parts);
    for (int part = 0; part < parts; ++part) {
        const KvrConfig &piece = sent.at(part);
        QCOMPARE(piece.gv("command"), QStringLiteral("User::bufferedCommand"));
        QCOMPARE(piece.gv("commandid"), record.GetID());
        QCOMPARE(piece.gv("part"), QString::number(part));
        QCOMPARE(piece.gv("totalsize"), QString::number(parts - 1));
        QCOMPARE(piece.GetValue("data"), form.mid(part * 65536, 65536));
    }
    // Each part was acknowledged with its own "ID".
    QTRY_COMPARE(net.wire.log.size(), 2 * parts);
    for (const Carried &carried : net.wire.log.items()) {
        if (carried.from == Bob) {
            QCOMPARE(carried.record.gv("response"), QStringLiteral("ok"));
            QCOMPARE(carried.record.gv("command"), QStringLiteral("User::bufferedCommand"));
        }
    }

    QCOMPARE(net[Bob].progressOf(Direction::Receive), receiveProgress);
    QTRY_VERIFY(!net[Alice].progressOf(Direction::Send).isEmpty()
                && net[Alice].progressOf(Direction::Send).last() == -1);
    QList<int> sendProgress = net[Alice].progressOf(Direction::Send);
    sendProgress.removeAll(-1);
    receiveProgress.removeAll(-1);
    QCOMPARE(sendProgress, receiveProgress);
    QVERIFY(recordsInFile(Alice, Bob).isEmpty());
}

// The sender forgets a record only once the receiver stored it: until then
// it keeps trying, and the record arrives once when storing works again.
void tst_BufferedCommands::recordNotStoredIsNotAcknowledged()
{
    Network net({Alice, Bob});
    net[Alice].store->setAckTimeoutMs(200);
    net[Bob].storeFails = true;
    QVERIFY(net[Alice].store->addBufferedCommand(Bob, recordOfSize(100, QStringLiteral("message"))));

    QTRY_VERIFY(net[Bob].acknowledgedBeforeDelivery.size() >= 2);
    QVERIFY(!net[Alice].store->pendingCommands(Bob).isEmpty());
    QVERIFY(net[Bob].delivered.items().isEmpty());

    net[Bob].storeFails = false;
    QTRY_VERIFY(net[Alice].store->pendingCommands(Bob).isEmpty());
    QCOMPARE(net[Bob].delivered.size(), 1);
}

void tst_BufferedCommands::recordsForOneUserGoInOrder()
{
    Network net({Alice, Bob});
    const KvrConfig first = recordOfSize(131073, QStringLiteral("first"));
    const KvrConfig second = message(QStringLiteral("second"));
    const KvrConfig third = recordOfSize(70000, QStringLiteral("third"));
    for (const KvrConfig &record : {first, second, third})
        QVERIFY(net[Alice].store->addBufferedCommand(Bob, record));

    QTRY_COMPARE(net[Bob].delivered.size(), 3);
    QCOMPARE(namesOf(net[Bob].delivered.items()), (QStringList{"first", "second", "third"}));
    // No part of a record goes before the previous record is done.
    QStringList sequence;
    for (const KvrConfig &part : net.wire.parts())
        sequence << part.gv("commandid") + QLatin1Char('/') + part.gv("part");
    const QString a = first.GetID(), b = second.GetID(), c = third.GetID();
    QCOMPARE(sequence, (QStringList{a + "/0", a + "/1", a + "/2", b + "/0", c + "/0", c + "/1"}));
}

void tst_BufferedCommands::refusedAdd_data()
{
    QTest::addColumn<QString>("loggedIn");
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<int>("size");

    QTest::newRow("nobody logged in") << QString() << Bob << 200;
    QTest::newRow("no receiver") << Alice << QString() << 200;
    QTest::newRow("larger than a peer takes") << Alice << Bob << BufferedCommands::MaxRecordSize + 1;
}

void tst_BufferedCommands::refusedAdd()
{
    QFETCH(QString, loggedIn);
    QFETCH(QString, receiver);
    QFETCH(int, size);

    Network net({Alice});
    net[Alice].logIn(loggedIn);
    QVERIFY(!net[Alice].store->addBufferedCommand(receiver, recordOfSize(size, "refused")));
    QVERIFY(net[Alice].store->pendingCommands(receiver).isEmpty());
    QVERIFY(recordsInFile(Alice, receiver).isEmpty());
    if (loggedIn.isEmpty())
        return;
    // The refused record holds up nothing: the next one goes first.
    const KvrConfig next = message("next");
    QVERIFY(net[Alice].store->addBufferedCommand(Bob, next));
    QTRY_COMPARE(net.wire.parts().size(), 1);
    QCOMPARE(net.wire.parts().first().gv("commandid"), next.GetID());
}

void tst_BufferedCommands::acknowledgementCountsOnlyFromTheReceiver_data()
{
    QTest::addColumn<QString>("acknowledgedBy");
    QTest::addColumn<bool>("forThePart");
    QTest::addColumn<bool>("counts");

    QTest::newRow("the receiver") << Bob << true << true;
    QTest::newRow("the receiver, other case") << QStringLiteral("Bob") << true << true;
    QTest::newRow("another user") << Carol << true << false;
    QTest::newRow("nobody") << QString() << true << false;
    QTest::newRow("another part") << Bob << false << false;
}

void tst_BufferedCommands::acknowledgementCountsOnlyFromTheReceiver()
{
    QFETCH(QString, acknowledgedBy);
    QFETCH(bool, forThePart);
    QFETCH(bool, counts);

    // Alice alone: the test answers for the far side.
    Network net({Alice});
    net[Alice].setRelay([](const QString &, const KvrConfig &, const QSharedPointer<WivoraAccount> &) {
        return true;
    });
    // An acknowledgement that counts ends the wait at once; one that does
    // not leaves the part to time out, and the record is relayed.
    net[Alice].store->setAckTimeoutMs(counts ? 600000 : 300);
    QVERIFY(net[Alice].store->addBufferedCommand(Bob, message(QStringLiteral("hello"))));
    QTRY_COMPARE(net.wire.parts().size(), 1);

    KvrConfig acknowledgement;
    acknowledgement.sv("ID", forThePart ? net.wire.parts().first().GetID() : QStringLiteral("other"));
    acknowledgement.sv("response", "ok");
    acknowledgement.sv("command", "User::bufferedCommand");
    acknowledgement.sv(SenderKey, acknowledgedBy);
    net[Alice].store->receiveBufferedPart(acknowledgement);

    QTRY_VERIFY(net[Alice].store->pendingCommands(Bob).isEmpty());
    QCOMPARE(net[Alice].relayOffers.size(), counts ? 0 : 1);
    QCOMPARE(net.wire.parts().size(), 1);
}

void tst_BufferedCommands::partsFromPeers_data()
{
    // Each step: "<sender> <part> <totalsize> <chunk> [<commandid>]". A chunk
    // names a part of one of the records below ("A1": part 1 of A); "junk" is
    // bytes that are no record, "huge" one byte more than a part; the
    // commandid is the record's "ID" unless given. "-" as sender: none;
    // "relay:<sender>": fetched from the relay, not from a link.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("delivered"); // "<record> <sender>"
    QTest::addColumn<int>("acknowledged");

    QTest::newRow("one part") << QStringList{"alice 0 0 D0"} << QStringList{"D alice"} << 1;
    QTest::newRow("routing keys of the sender") << QStringList{"alice 0 0 F0"} << QStringList{"F alice"} << 1;
    QTest::newRow("in order") << QStringList{"alice 0 1 A0", "alice 1 1 A1"} << QStringList{"A alice"} << 2;
    QTest::newRow("second part first")
        << QStringList{"alice 1 1 A1", "alice 0 1 A0"} << QStringList{} << 1;
    QTest::newRow("part skipped")
        << QStringList{"alice 0 2 C0", "alice 2 2 C2", "alice 1 2 C1"} << QStringList{} << 1;
    QTest::newRow("part twice")
        << QStringList{"alice 0 2 C0", "alice 1 2 C1", "alice 1 2 C1", "alice 2 2 C2"} << QStringList{} << 2;
    QTest::newRow("another sender's part")
        << QStringList{"alice 0 1 A0", "carol 1 1 A1"} << QStringList{} << 1;
    QTest::newRow("total size changes")
        << QStringList{"alice 0 1 A0", "alice 1 2 A1"} << QStringList{} << 1;
    QTest::newRow("abandoned attempt, then again from part 0")
        << QStringList{"alice 0 2 C0", "alice 1 2 C1", "alice 0 2 C0", "alice 1 2 C1", "alice 2 2 C2"}
        << QStringList{"C alice"} << 5;
    QTest::newRow("two senders, one commandid")
        << QStringList{"alice 0 1 A0", "carol 0 1 A0", "alice 1 1 A1", "carol 1 1 A1"}
        << QStringList{"A alice", "A carol"} << 4;
    QTest::newRow("two records of one sender interleaved")
        << QStringList{"alice 0 1 A0", "alice 0 2 C0", "alice 1 1 A1", "alice 1 2 C1", "alice 2 2 C2"}
        << QStringList{"A alice", "C alice"} << 5;

    QStringList sevenOthers{"alice 0 1 A0"};
    for (int other = 1; other <= 7; ++other)
        sevenOthers << QStringLiteral("alice 0 1 A0 other-%1").arg(other);
    QStringList eightOthers = sevenOthers;
    eightOthers << QStringLiteral("alice 0 1 A0 other-8");
    QTest::newRow("seven unfinished records beside it") << (sevenOthers << "alice 1 1 A1")
                                                        << QStringList{"A alice"} << 9;
    QTest::newRow("eight unfinished records after it") << (eightOthers << "alice 1 1 A1") << QStringList{}
                                                       << 9;
    QTest::newRow("record over the size cap") << QStringList{"alice 0 1024 A0"} << QStringList{} << 0;
    QTest::newRow("record at the size cap") << QStringList{"alice 0 1023 A0"} << QStringList{} << 1;
    QTest::newRow("part larger than a part") << QStringList{"alice 0 0 huge"} << QStringList{} << 0;
    QTest::newRow("part beyond the total") << QStringList{"alice 1 0 D0"} << QStringList{} << 0;
    QTest::newRow("part not a number") << QStringList{"alice x 0 D0"} << QStringList{} << 0;
    QTest::newRow("negative total") << QStringList{"alice 0 -1 D0"} << QStringList{} << 0;
    QTest::newRow("no sender") << QStringList{"- 0 0 D0"} << QStringList{} << 0;
    QTest::newRow("bytes that are no record") << QStringList{"alice 0 0 junk"} << QStringList{} << 0;
    QTest::newRow("a main-server command") << QStringList{"alice 0 0 L0"} << QStringList{} << 0;
    QTest::newRow("a web-server command") << QStringList{"alice 0 0 W0"} << QStringList{} << 0;
    QTest::newRow("relayed parts, unacknowledged")
        << QStringList{"relay:alice 0 2 C0", "relay:alice 1 2 C1", "relay:alice 2 2 C2"} << QStringList{"C alice"}
        << 0;
    QTest::newRow("a late part from a link amid relayed parts")
        << QStringList{"relay:alice 0 2 C0", "alice 1 2 C1", "relay:alice 1 2 C1", "relay:alice 2 2 C2"}
        << QStringList{"C alice"} << 0;
    QTest::newRow("relayed attempt repeated from part 0")
        << QStringList{"relay:alice 0 1 A0", "relay:alice 0 1 A0", "relay:alice 1 1 A1"} << QStringList{"A alice"}
        << 0;
}

void tst_BufferedCommands::partsFromPeers()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, delivered);
    QFETCH(int, acknowledged);

    // Routing keys are the receiving host's to set, never the sender's.
    KvrConfig forged = recordOfSize(300, "F");
    forged.sv(SenderKey, Carol);
    forged.sv(QStringLiteral("Wivora::connection"), "1");
    const QMap<QString, KvrConfig> records{
        {"A", recordOfSize(100000, "A")},
        {"C", recordOfSize(140000, "C")},
        {"D", recordOfSize(300, "D")},
        {"L", recordOfSize(300, "Logout", "Local::")},
        {"W", recordOfSize(300, "listDirectory", "WebLocal::wftp:::")},
        {"F", forged},
    };

    Network net({Bob});
    for (const QString &step : steps) {
        const QStringList fields = step.split(QLatin1Char(' '));
        const QString chunk = fields.at(3);
        const KvrConfig &source = records.value(chunk.left(1));
        QByteArray data;
        if (chunk == QLatin1String("junk"))
            data = QByteArray("no record at all");
        else if (chunk == QLatin1String("huge"))
            data = QByteArray(65537, 'h');
        else
            data = source.SerializeConfigBinary().mid(chunk.mid(1).toInt() * 65536, 65536);

        KvrConfig part;
        part.SetID();
        part.sv("command", "User::bufferedCommand");
        part.sv("commandid", fields.size() > 4 ? fields.at(4) : source.GetID());
        part.sv("part", fields.at(1));
        part.sv("totalsize", fields.at(2));
        part.SetValue("data", data);
        QString sender = fields.at(0);
        const bool relayed = sender.startsWith(QLatin1String("relay:"));
        sender.remove(QStringLiteral("relay:"));
        if (sender != QLatin1String("-"))
            part.sv(SenderKey, sender);
        if (relayed) {
            net[Bob].store->receiveRelayedPart(part);
        } else {
            part.sv(ConnectionIdKey, QStringLiteral("link-1"));
            net[Bob].store->receiveBufferedPart(part);
        }
    }

    QStringList got;
    for (const KvrConfig &record : net[Bob].delivered.items())
        got << nameOf(record).left(1) + QLatin1Char(' ') + record.gv(SenderKey);
    QCOMPARE(got, delivered);
    for (const KvrConfig &record : net[Bob].delivered.items()) {
        KvrConfig original = records.value(nameOf(record).left(1));
        original.RemoveKey(SenderKey);
        original.RemoveKey(QStringLiteral("Wivora::connection"));
        original.sv(SenderKey, record.gv(SenderKey));
        QCOMPARE(record, original);
    }
    // The acknowledgements go back to the part's sender.
    QCOMPARE(net.wire.log.size(), acknowledged);
    for (const Carried &carried : net.wire.log.items())
        QCOMPARE(carried.from, Bob);
}

void tst_BufferedCommands::unreachablePeerGoesThroughTheRelay_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("server takes the relay") << true;
    QTest::newRow("server down") << false;
}

void tst_BufferedCommands::unreachablePeerGoesThroughTheRelay()
{
    QFETCH(bool, serverUp);

    ClientSessionFixture service;
    QVERIFY2(service.start({Alice, Bob}), qPrintable(service.server.errorText()));
    const QSharedPointer<TcpConnection> bobLink = service.loggedInLink(Bob);
    QVERIFY(bobLink);

    const KvrConfig record = message(QStringLiteral("hello"));
    Log<bool> inFileWhileRelayed;
    Network net({Alice}); // nobody answers for bob
    QVERIFY(service.logIn(net[Alice].session, Alice));
    net[Alice].setRelay([&](const QString &user, const KvrConfig &relayed,
                            const QSharedPointer<WivoraAccount> &account) {
        inFileWhileRelayed.append(recordsInFile(Alice, Bob).contains(record));
        return WServerCommands::sendExchangeCommand(user, relayed, account);
    });
    net[Alice].store->setAckTimeoutMs(200);
    if (!serverUp)
        QVERIFY(service.server.stop());

    QVERIFY(net[Alice].store->addBufferedCommand(Bob, record));

    if (serverUp) {
        KvrConfig fetched;
        QVERIFY(QTest::qWaitFor(
            [&] { return !(fetched = WServerCommands::getExchangeCommand(bobLink)).isEmpty(); }, 15000));
        QCOMPARE(fetched.GetID(), record.GetID());
        QCOMPARE(fetched.gv("command"), record.gv("command"));
        QCOMPARE(fetched.GetValue("body"), record.GetValue("body"));
        QTRY_VERIFY(net[Alice].store->pendingCommands(Bob).isEmpty());
        QVERIFY(recordsInFile(Alice, Bob).isEmpty());
        QCOMPARE(inFileWhileRelayed.items(), QList<bool>{true});
    } else {
        // Refused relays are tried again; the record stays meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(net[Alice].relayOffers.size() >= 2, 15000);
        QCOMPARE(recordsInFile(Alice, Bob), QList<KvrConfig>{record});
        QCOMPARE(net[Alice].store->pendingCommands(Bob), QList<KvrConfig>{record});
    }
    // The first part went out before the relay.
    QVERIFY(!net.wire.parts().isEmpty());
    QCOMPARE(net.wire.parts().first().gv("commandid"), record.GetID());
}

void tst_BufferedCommands::logoutWhileInFlightLeavesTheFile()
{
    Network net({Alice, Bob});
    net.wire.hold();
    const QList<KvrConfig> forBob{message("first"), message("second"), message("third")};
    for (const KvrConfig &record : forBob)
        QVERIFY(net[Alice].store->addBufferedCommand(Bob, record));
    QVERIFY(net[Alice].store->addBufferedCommand(Carol, message("other")));
    QTRY_COMPARE(net.wire.parts().size(), 2); // the first of bob's and carol's
    const QByteArray before = fileBytes(Alice);
    QCOMPARE(namesOf(recordsInFile(Alice, Bob)), (QStringList{"first", "second", "third"}));

    net[Alice].store->stop();
    // The part in flight arrives and is acknowledged after the logout.
    net.wire.release();
    QTRY_COMPARE(net[Bob].delivered.size(), 1);
    net.wire.flush(); // the acknowledgement reaches alice
    net.wire.flush();
    // Another user logs in on this client meanwhile.
    net[Alice].logIn(Carol);
    net[Alice].store->loadBufferedCommands();
    net.closeStore(Alice); // waits for every sender

    QCOMPARE(fileBytes(Alice), before);
    QCOMPARE(net[Alice].relayOffers.size(), 0);
    QVERIFY(!QFile::exists(BufferedCommands::filePath(Carol)));
}

void tst_BufferedCommands::nextSessionDelivers_data()
{
    QTest::addColumn<QStringList>("waiting"); // in the file since the last session
    QTest::addColumn<bool>("addBeforeLoad");   // a plug-in buffers while it starts
    QTest::addColumn<QStringList>("delivered");

    QTest::newRow("empty file") << QStringList{} << false << QStringList{"new"};
    QTest::newRow("records waiting") << QStringList{"old1", "old2"} << false
                                     << QStringList{"old1", "old2", "new"};
    QTest::newRow("empty file, add before the load") << QStringList{} << true << QStringList{"new"};
    QTest::newRow("records waiting, add before the load") << QStringList{"old1", "old2"} << true
                                                          << QStringList{"old1", "old2", "new"};
}

void tst_BufferedCommands::nextSessionDelivers()
{
    QFETCH(QStringList, waiting);
    QFETCH(bool, addBeforeLoad);
    QFETCH(QStringList, delivered);

    Network net({Alice, Bob});
    BufferedCommands &store = *net[Alice].store;
    // A session that ends: login, logout.
    store.loadBufferedCommands();
    store.stop();

    QList<KvrConfig> old;
    for (const QString &name : waiting)
        old << message(name);
    FileWriter file;
    if (!old.isEmpty())
        file.count(1).user(Bob, old);
    QVERIFY(file.writeTo(BufferedCommands::filePath(Alice)));

    // The next session. Parts wait on the wire until both steps are done,
    // so a record already under way when the login loads is not sent twice.
    net[Alice].logIn(Alice);
    net.wire.hold();
    if (addBeforeLoad) {
        QVERIFY(store.addBufferedCommand(Bob, message("new")));
        QTRY_COMPARE(net.wire.parts().size(), 1);
    }
    store.loadBufferedCommands();
    if (!addBeforeLoad)
        QVERIFY(store.addBufferedCommand(Bob, message("new")));
    net.wire.release();

    QTRY_VERIFY(store.pendingCommands(Bob).isEmpty());
    net.closeStore(Alice);
    net.wire.flush();
    QCOMPARE(namesOf(net[Bob].delivered.items()), delivered);
    QVERIFY(recordsInFile(Alice, Bob).isEmpty());
}

void tst_BufferedCommands::fileLayout()
{
    Network net({Alice});
    net.wire.close();
    net[Alice].store->setAckTimeoutMs(600000);
    net[Alice].logIn(QStringLiteral("Alice")); // one folder per user, whatever the case
    const KvrConfig forZed = message("z"), forBob1 = message("b1"), forBob2 = recordOfSize(70000, "b2");
    QVERIFY(net[Alice].store->addBufferedCommand(QStringLiteral("zed"), forZed));
    QVERIFY(net[Alice].store->addBufferedCommand(Bob, forBob1));
    QVERIFY(net[Alice].store->addBufferedCommand(Bob, forBob2));
    // Written whole when the journal is folded into it.
    QVERIFY(net[Alice].store->saveBufferedCommands());

    QFile file(SessionState::userFolder(Alice) + QStringLiteral("/bufferedcommands.bff"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    // Big-endian counts, UTF-16 names: the user count, then bob's record
    // count and name.
    QCOMPARE(bytes.left(18), QByteArray("\0\0\0\2" "\0\0\0\2" "\0\0\0\6" "\0b\0o\0b", 18));

    QDataStream stream(bytes);
    stream.setVersion(QDataStream::Qt_4_6);
    qint32 users = 0, count = 0;
    QString name;
    QByteArray first, second;
    stream >> users >> count >> name >> first >> second;
    QCOMPARE(users, 2);
    QCOMPARE(count, 2);
    QCOMPARE(name, Bob);
    QCOMPARE(first, forBob1.SerializeConfigBinary());
    QCOMPARE(second, forBob2.SerializeConfigBinary());
    stream >> count >> name >> first;
    QCOMPARE(count, 1);
    QCOMPARE(name, QStringLiteral("zed"));
    QCOMPARE(first, forZed.SerializeConfigBinary());
    QVERIFY(stream.atEnd());
    QCOMPARE(stream.status(), QDataStream::Ok);
}

void tst_BufferedCommands::everyPrefixOfAFileLoadsWhatIsIntact()
{
    // A real file of two users.
    {
        Network net({Alice});
        net.wire.close();
        net[Alice].store->setAckTimeoutMs(600000);
        QVERIFY(net[Alice].store->addBufferedCommand(Bob, recordOfSize(120, "b1")));
        QVERIFY(net[Alice].store->addBufferedCommand(Bob, recordOfSize(150, "b2")));
        QVERIFY(net[Alice].store->addBufferedCommand(Carol, recordOfSize(130, "c1")));
        QVERIFY(net[Alice].store->saveBufferedCommands());
    }
    const QByteArray bytes = bytesOf(BufferedCommands::filePath(Alice));
    const BufferedCommandsFile::Queues whole = BufferedCommandsFile::parse(bytes);
    QCOMPARE(namesOf(whole.value(Bob)), (QStringList{"b1", "b2"}));
    QCOMPARE(namesOf(whole.value(Carol)), (QStringList{"c1"}));

    // Where each user's name and each record end in the file.
    struct End
    {
        int offset;
        QString user;
        QString record; // empty for the name
    };
    QList<End> ends;
    int offset = 4;
    for (auto it = whole.cbegin(); it != whole.cend(); ++it) {
        offset += 4 + 4 + 2 * it.key().size();
        ends << End{offset, it.key(), QString()};
        for (const KvrConfig &record : it.value()) {
            offset += 4 + record.SerializeConfigBinary().size();
            ends << End{offset, it.key(), nameOf(record)};
        }
    }
    QCOMPARE(offset, bytes.size());

    for (int length = 0; length <= bytes.size(); ++length) {
        QMap<QString, QStringList> expected;
        for (const End &end : qAsConst(ends)) {
            if (end.offset > length)
                break;
            if (end.record.isEmpty())
                expected[end.user];
            else
                expected[end.user] << end.record;
        }
        bool intact = false;
        const BufferedCommandsFile::Queues parsed = BufferedCommandsFile::parse(bytes.left(length), &intact);
        QMap<QString, QStringList> got;
        for (auto it = parsed.cbegin(); it != parsed.cend(); ++it)
            got[it.key()] = namesOf(it.value());
        QVERIFY2(got == expected, qPrintable(QStringLiteral("prefix of %1 bytes").arg(length)));
        QCOMPARE(intact, length == bytes.size());
    }
}

void tst_BufferedCommands::damagedFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("kept"); // "<user>:<record>"

    const KvrConfig b1 = message("b1"), b2 = message("b2"), c1 = message("c1");
    const QByteArray longLength("\xff\xff\xff\xf0", 4);

    QTest::newRow("user count beyond the data")
        << FileWriter().count(0x7fffffff).user(Bob, {b1, b2}).bytes << QStringList{"bob:b1", "bob:b2"};
    QTest::newRow("record count beyond the data")
        << FileWriter().count(1).count(0x7fffffff).name(Bob).record(b1).bytes << QStringList{"bob:b1"};
    QTest::newRow("negative user count") << FileWriter().count(-1).user(Bob, {b1}).bytes << QStringList{};
    QTest::newRow("negative record count")
        << FileWriter().count(2).user(Bob, {b1}).count(-5).name(Carol).record(c1).bytes
        << QStringList{"bob:b1"};
    QTest::newRow("name longer than the data")
        << FileWriter().count(2).user(Bob, {b1}).count(1).raw(longLength).bytes << QStringList{"bob:b1"};
    QTest::newRow("name of an odd length")
        << FileWriter().count(1).count(1).raw(QByteArray("\0\0\0\3abc", 7)).record(b1).bytes
        << QStringList{};
    QTest::newRow("record longer than the data")
        << FileWriter().count(1).count(2).name(Bob).record(b1).raw(longLength).raw("xyz").bytes
        << QStringList{"bob:b1"};
    QTest::newRow("bytes that are no record")
        << FileWriter().count(2).count(2).name(Bob).raw(QByteArray("\0\0\0\3xyz", 7)).record(b2)
               .user(Carol, {c1}).bytes
        << QStringList{"bob:b2", "carol:c1"};
    QTest::newRow("trailing bytes")
        << FileWriter().count(1).user(Bob, {b1}).raw("tail").bytes << QStringList{"bob:b1"};
}

void tst_BufferedCommands::damagedFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, kept);

    QVERIFY(FileWriter().raw(bytes).writeTo(BufferedCommands::filePath(Alice)));
    bool intact = true;
    const BufferedCommandsFile::Queues queues =
        BufferedCommandsFile::read(BufferedCommands::filePath(Alice), &intact);
    QVERIFY(!intact);
    QStringList got;
    for (auto it = queues.cbegin(); it != queues.cend(); ++it) {
        for (const KvrConfig &record : it.value())
            got << it.key() + QLatin1Char(':') + nameOf(record);
    }
    QCOMPARE(got, kept);

    // The store loads what is intact and delivers it.
    Network net({Alice, Bob, Carol});
    net[Alice].store->loadBufferedCommands();
    QStringList delivered;
    QTRY_COMPARE(net[Bob].delivered.size() + net[Carol].delivered.size(), kept.size());
    for (const QString &user : {Bob, Carol}) {
        for (const KvrConfig &record : net[user].delivered.items())
            delivered << user + QLatin1Char(':') + nameOf(record);
    }
    QCOMPARE(delivered, kept);
}

WIVORA_TEST_GUILESS_MAIN(tst_BufferedCommands)
#include "tst_BufferedCommands.moc"
