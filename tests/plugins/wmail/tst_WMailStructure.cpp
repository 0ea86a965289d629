#include "QtTestSuite.h"
#include "WMailStructure.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QtTest>

using Pointer = WMailStructure::Pointer;

namespace {

const QDateTime kTime(QDate(2010, 5, 17), QTime(12, 30), Qt::UTC);

Pointer message(const QString &id, const QDateTime &time = kTime)
{
    auto m = Pointer::create();
    m->id = id;
    m->time = time;
    m->localTime = time;
    m->itemType = QStringLiteral("text");
    m->sender = QStringLiteral("alice");
    m->recipients = QStringList{QStringLiteral("alice"), QStringLiteral("bob")};
    return m;
}

QStringList childIds(const WMailStructure &parent)
{
    QStringList ids;
    for (const Pointer &child : parent.children)
        ids << child->id;
    return ids;
}

QByteArray stream(const std::function<void(QDataStream &)> &write)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_6);
    write(out);
    return bytes;
}

// The fields before the recipients, as a reader expects them.
void writeScalars(QDataStream &out)
{
    out << QStringLiteral("{00000000-0000-0000-0000-000000000001}") << kTime << kTime << false << QStringLiteral("text")
        << QStringLiteral("alice");
}

} // namespace

class tst_WMailStructure : public QObject
{
    Q_OBJECT

private slots:
    void goldenBytes()
    {
        auto m = Pointer::create();
        m->id = QStringLiteral("ab");
        m->time = kTime;
        m->localTime = kTime.toLocalTime(); // stored in UTC whatever the zone
        m->itemType = QStringLiteral("t");
        m->sender = QStringLiteral("s");
        m->recipients = QStringList{QStringLiteral("r")};
        const QByteArray expected = QByteArray::fromHex(
            "00000004 00610062"               // id
            "00257726 02aea540 02"            // time, UTC
            "00257726 02aea540 02"            // local time, UTC
            "00"                              // flag
            "00000002 0074"                   // item type
            "00000002 0073"                   // sender
            "00000001 00000002 0072"          // recipients
            "00000004 00000000"               // empty record
            "00000000");                      // no children
        QCOMPARE(m->serializeStructure().toHex(' '), expected.toHex(' '));
    }

    void nestedTreeRoundTrip()
    {
        Pointer root = message(QStringLiteral("root"));
        Pointer a = message(WMailStructure::newId(), kTime.addSecs(1));
        Pointer a1 = message(WMailStructure::newId(), kTime.addSecs(2));
        Pointer b = message(WMailStructure::newId(), kTime.addSecs(3));
        a1->itemType = QStringLiteral("files");
        a1->record.sv(QStringLiteral("carried"), QStringLiteral("value"));
        root->appendChild(a);
        a->appendChild(a1);
        root->appendChild(b);
        const QByteArray bytes = root->serializeStructure();

        auto read = Pointer::create();
        QVERIFY(read->deserializeStructure(bytes));
        QCOMPARE(childIds(*read), (QStringList{a->id, b->id}));
        QCOMPARE(childIds(*read->children.at(0)), QStringList{a1->id});
        const Pointer readA1 = read->children.at(0)->children.at(0);
        QCOMPARE(readA1->time, a1->time);
        QCOMPARE(readA1->localTime, a1->localTime);
        QCOMPARE(readA1->itemType, QStringLiteral("files"));
        QCOMPARE(readA1->record.gv(QStringLiteral("carried")), QStringLiteral("value"));
        QCOMPARE(readA1->recipients, a1->recipients);
        QCOMPARE(read->serializeStructure(), bytes);
    }

    void recipientsReadOnce()
    {
        const QByteArray bytes = stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(3) << QStringLiteral("bob") << QStringLiteral("alice") << QStringLiteral("bob");
            out << KvrConfig().SerializeConfigBinary() << qint32(0);
        });
        auto m = Pointer::create();
        QVERIFY(m->deserializeStructure(bytes));
        QVERIFY(m->deserializeStructure(bytes)); // a second read adds nothing
        QCOMPARE(m->recipients, (QStringList{QStringLiteral("bob"), QStringLiteral("alice")}));
    }

    void findStructure()
    {
        Pointer root = message(QStringLiteral("root"));
        Pointer child = message(QStringLiteral("child"));
        Pointer grandchild = message(QStringLiteral("grandchild"));
        root->appendChild(child);
        child->appendChild(grandchild);
        QVERIFY(!root->findStructure(QStringLiteral("root")));
        QCOMPARE(root->findStructure(QStringLiteral("grandchild")), grandchild);
        QCOMPARE(root->findStructure(QStringLiteral("child")), child);
        QVERIFY(!child->findStructure(QStringLiteral("child")));
        QVERIFY(!root->findStructure(QStringLiteral("other")));
    }

    void insertChildSorted()
    {
        Pointer root = message(QStringLiteral("root"));
        root->insertChildSorted(message(QStringLiteral("late"), kTime.addSecs(10)));
        root->insertChildSorted(message(QStringLiteral("first"), kTime));
        root->insertChildSorted(message(QStringLiteral("second"), kTime));
        root->insertChildSorted(message(QStringLiteral("third"), kTime));
        root->insertChildSorted(message(QStringLiteral("last"), kTime.addSecs(20)));
        QCOMPARE(childIds(*root), (QStringList{"first", "second", "third", "late", "last"}));
    }

    void previousSiblingId_data()
    {
        QTest::addColumn<QStringList>("children");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("expected");
        QTest::newRow("middle") << QStringList{"a", "b", "c"} << "b" << "a";
        QTest::newRow("last") << QStringList{"a", "b", "c"} << "c" << "b";
        QTest::newRow("first") << QStringList{"a", "b", "c"} << "a" << "";
        QTest::newRow("absent") << QStringList{"a", "b"} << "x" << "";
        QTest::newRow("no children") << QStringList{} << "a" << "";
    }
    void previousSiblingId()
    {
        QFETCH(QStringList, children);
        QFETCH(QString, id);
        QFETCH(QString, expected);
        Pointer root = message(QStringLiteral("root"));
        for (const QString &child : children)
            root->appendChild(message(child));
        QCOMPARE(root->previousSiblingId(id), expected);
    }

    void validIds_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::newRow("made here") << WMailStructure::newId() << true;
        QTest::newRow("upper case") << "{6F9619FF-8B86-D011-B42D-00C04FC964FF}" << true;
        QTest::newRow("no braces") << "6f9619ff-8b86-d011-b42d-00c04fc964ff" << false;
        QTest::newRow("script") << "'); x(); ('" << false;
        QTest::newRow("trailing") << "{6f9619ff-8b86-d011-b42d-00c04fc964ff}x" << false;
        QTest::newRow("line break") << "{6f9619ff-8b86-d011-b42d-00c04fc964ff}\n" << false;
        QTest::newRow("empty") << "" << false;
    }
    void validIds()
    {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        QCOMPARE(WMailStructure::isValidId(id), valid);
    }

    // Damaged input is refused quickly, without a large allocation.
    void damagedInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray sound = message(WMailStructure::newId())->serializeStructure();
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << sound.left(sound.size() - 1);
        QTest::newRow("trailing bytes") << sound + QByteArray(1, 'x');
        QTest::newRow("odd string length") << stream([](QDataStream &out) { out << quint32(3) << char(0) << char('a') << char(0); });
        QTest::newRow("huge id length") << stream([](QDataStream &out) { out << quint32(0x7FFFFFFE); });
        QTest::newRow("huge recipient count") << stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(0x7FFFFFFF);
        });
        QTest::newRow("negative recipient count") << stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(-16);
        });
        QTest::newRow("damaged record") << stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(0) << QByteArray("\xff\xff\xff\x00", 4) << qint32(0);
        });
        QTest::newRow("huge child count") << stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(0) << KvrConfig().SerializeConfigBinary() << qint32(0x7FFFFFFF);
        });
        QTest::newRow("child past the end") << stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(0) << KvrConfig().SerializeConfigBinary() << qint32(1) << quint32(1000);
        });
        // 10,000 levels, each a record holding the next as its only child.
        const int levels = 10000;
        const QByteArray leaf = message(QStringLiteral("leaf"))->serializeStructure();
        const QByteArray prefix = stream([](QDataStream &out) {
            writeScalars(out);
            out << qint32(0) << KvrConfig().SerializeConfigBinary() << qint32(1);
        });
        QByteArray deep;
        for (int level = 0; level < levels; ++level) {
            const quint32 inner = quint32(leaf.size() + (levels - level - 1) * (prefix.size() + 4));
            deep += prefix + stream([&](QDataStream &out) { out << inner; });
        }
        deep += leaf;
        QTest::newRow("10000 levels") << deep;
    }
    void damagedInput()
    {
        QFETCH(QByteArray, bytes);
        QElapsedTimer timer;
        timer.start();
        auto m = Pointer::create();
        QVERIFY(!m->deserializeStructure(bytes));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

    void depthLimitIsExact()
    {
        Pointer top = message(QStringLiteral("0"));
        Pointer at = top;
        for (int level = 1; level < WMailStructure::MaxDepth; ++level) {
            Pointer next = message(QString::number(level));
            at->appendChild(next);
            at = next;
        }
        const QByteArray deepest = top->serializeStructure();
        QVERIFY(Pointer::create()->deserializeStructure(deepest));
        at->appendChild(message(QStringLiteral("one too deep")));
        QVERIFY(!Pointer::create()->deserializeStructure(top->serializeStructure()));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailStructure)
#include "tst_WMailStructure.moc"
