#include "QtTestSuite.h"
#include "WDataStructure.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using Pointer = WDataStructure::Pointer;

struct Write
{
    QString path;
    QByteArray value;
    bool create;
    bool accepted;
};
struct Read
{
    QString path;
    QByteArray expected;
};
using Writes = QVector<Write>;
using Reads = QVector<Read>;

Pointer node(const QString &section, const QString &id = QString())
{
    auto n = Pointer::create();
    n->sv(QStringLiteral("section"), section);
    if (!id.isEmpty())
        n->sv(QStringLiteral("id"), id);
    return n;
}

// The whole tree as text, values in hex, children in order.
QString dump(const WDataStructure &tree)
{
    QString out = QStringLiteral("{");
    for (int i = 0; i < tree.size(); ++i)
        out += tree.GetKey(i) + QLatin1Char('=') + QString::fromLatin1(tree.GetValue(i).toHex()) + QLatin1Char(';');
    out += QLatin1Char('[');
    for (const Pointer &child : tree.getChildren())
        out += dump(*child);
    return out + QStringLiteral("]}");
}

QByteArray u32(quint32 v)
{
    char b[4];
    qToBigEndian(v, b);
    return QByteArray(b, 4);
}

// A hand-made node of the binary form under the text: record length, record,
// child count.
QByteArray nodeBytes(const KvrConfig &record, quint32 childCount)
{
    const QByteArray bytes = record.SerializeConfigBinary();
    return u32(quint32(bytes.size())) + bytes + u32(childCount);
}

QString textOf(const QByteArray &binary)
{
    return QString::fromLatin1(binary.toBase64());
}

QByteArray binaryOf(const QString &text)
{
    return QByteArray::fromBase64(text.toLatin1());
}

// A chain of nested nodes, levels deep in all.
Pointer chain(int levels)
{
    auto root = Pointer::create();
    Pointer at = root;
    for (int i = 1; i < levels; ++i) {
        Pointer child = node(QString::number(i));
        at->AddStructure(child);
        at = child;
    }
    return root;
}

// The tree the look-up cases search:
//   root ── alice ── vcard, x#alice
//        ├─ bob ── carol#bob ── dave
//        ├─ carol#root
//        └─ x#root
Pointer lookupTree()
{
    auto root = Pointer::create();
    Pointer alice = node(QStringLiteral("alice"), QStringLiteral("alice"));
    alice->AddStructure(node(QStringLiteral("vcard"), QStringLiteral("vcard")));
    alice->AddStructure(node(QStringLiteral("x"), QStringLiteral("x#alice")));
    Pointer bob = node(QStringLiteral("bob"), QStringLiteral("bob"));
    Pointer carol = node(QStringLiteral("carol"), QStringLiteral("carol#bob"));
    carol->AddStructure(node(QStringLiteral("dave"), QStringLiteral("dave")));
    bob->AddStructure(carol);
    root->AddStructure(alice);
    root->AddStructure(bob);
    root->AddStructure(node(QStringLiteral("carol"), QStringLiteral("carol#root")));
    root->AddStructure(node(QStringLiteral("x"), QStringLiteral("x#root")));
    return root;
}

} // namespace

Q_DECLARE_METATYPE(Writes)
Q_DECLARE_METATYPE(Reads)

class tst_WDataStructure : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void settingStructure();
    void structureByValue_data();
    void structureByValue();
    void childList();
    void addStructureRefusesCycles();
    void copiesShareChildrenClonesDoNot();
    void textRoundTrip();
    void textRoundTripAtDepthLimit();
    void everyPrefixIsRejected();
    void damagedText_data();
    void damagedText();
    void concurrentWritersAndSerialiser();
};

void tst_WDataStructure::paths_data()
{
    QTest::addColumn<Writes>("writes");
    QTest::addColumn<Reads>("reads");
    QTest::addColumn<QStringList>("rootChildren"); // sections, in order

    QTest::newRow("value and node with one name")
        << Writes{{"settings/common/userStatus", "2", true, true},
                  {"settings/common/userStatus/windowsstate", "max", true, true},
                  {"settings/common/userStatus", "3", false, true}}
        << Reads{{"settings/common/userStatus", "3"},
                 {"settings/common/userStatus/windowsstate", "max"},
                 {"settings/common/windowsstate", ""}}
        << QStringList{"settings"};
    QTest::newRow("missing node, create false: nothing happens")
        << Writes{{"alice/status", "1", false, false}}
        << Reads{{"alice/status", ""}} << QStringList{};
    QTest::newRow("missing nodes created once, appended in order")
        << Writes{{"b/x/k", "1", true, true}, {"a/k", "2", true, true}, {"b/x/j", "3", true, true},
                  {"b/y", "4", false, true}}
        << Reads{{"b/x/k", "1"}, {"b/x/j", "3"}, {"a/k", "2"}, {"b/y", "4"}, {"b/k", ""}}
        << QStringList{"b", "a"};
    QTest::newRow("key of the node itself")
        << Writes{{"status", "5", false, true}} << Reads{{"status", "5"}} << QStringList{};
    QTest::newRow("empty parts refused")
        << Writes{{"", "1", true, false}, {"a//b", "1", true, false}, {"/a", "1", true, false},
                  {"a/", "1", true, false}}
        << Reads{{"a/b", ""}, {"a", ""}} << QStringList{};
    QTest::newRow("binary and UTF-8 values, UTF-8 sections")
        << Writes{{QString::fromUtf8("kontakte/jürgen/avatar"), QByteArray("\0\x01\xFF", 3), true, true},
                  {QString::fromUtf8("kontakte/jürgen/name"), "J\xC3\xBCrgen", true, true}}
        << Reads{{QString::fromUtf8("kontakte/jürgen/avatar"), QByteArray("\0\x01\xFF", 3)},
                 {QString::fromUtf8("kontakte/jürgen/name"), "J\xC3\xBCrgen"},
                 {"kontakte/jurgen/name", ""}}
        << QStringList{"kontakte"};
}

void tst_WDataStructure::paths()
{
    QFETCH(Writes, writes);
    QFETCH(Reads, reads);
    QFETCH(QStringList, rootChildren);

    WDataStructure tree;
    for (const Write &w : writes)
        QVERIFY2(tree.setSetting(w.path, w.value, w.create) == w.accepted, qPrintable(w.path));
    for (const Read &r : reads)
        QVERIFY2(tree.getSetting(r.path) == r.expected, qPrintable(r.path));

    QStringList sections;
    for (const Pointer &child : tree.getChildren())
        sections << child->gv(QStringLiteral("section"));
    QCOMPARE(sections, rootChildren);
}

void tst_WDataStructure::settingStructure()
{
    WDataStructure tree;
    QVERIFY(tree.setSetting(QStringLiteral("alice/activities/game"), "1"));

    const Pointer activities = tree.getSettingStructure(QStringLiteral("alice/activities"));
    QVERIFY(activities);
    QCOMPARE(activities->gv(QStringLiteral("game")), QStringLiteral("1"));
    QVERIFY(!tree.getSettingStructure(QStringLiteral("alice/missing")));
    QVERIFY(!tree.getSettingStructure(QString()));
    QCOMPARE(tree.getSettingStructure(QStringLiteral("alice"))->childCount(), 1);

    // Created on request, below the existing node, and found again after.
    const Pointer made = tree.getSettingStructure(QStringLiteral("alice/vcard/photo"), true);
    QVERIFY(made);
    QCOMPARE(made->gv(QStringLiteral("section")), QStringLiteral("photo"));
    QCOMPARE(tree.getSettingStructure(QStringLiteral("alice/vcard/photo")), made);
    QCOMPARE(tree.getSettingStructure(QStringLiteral("alice"))->childCount(), 2);
    QCOMPARE(tree.childCount(), 1);
}

void tst_WDataStructure::structureByValue_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QString>("startPath"); // empty: search from the root
    QTest::addColumn<QString>("expectedId"); // empty: none found

    QTest::newRow("direct child") << "section" << "bob" << false << "" << "bob";
    QTest::newRow("direct: first of two with one value") << "section" << "carol" << false << "" << "carol#root";
    QTest::newRow("direct: grandchild not found") << "section" << "dave" << false << "" << "";
    QTest::newRow("recursive: grandchild found") << "section" << "dave" << true << "" << "dave";
    QTest::newRow("recursive: depth first before a later sibling") << "section" << "x" << true << "" << "x#alice";
    QTest::newRow("direct: the later sibling") << "section" << "x" << false << "" << "x#root";
    QTest::newRow("recursive: first in depth-first order") << "section" << "carol" << true << "" << "carol#bob";
    QTest::newRow("other key") << "id" << "vcard" << true << "" << "vcard";
    QTest::newRow("absent key does not match an empty value") << "nokey" << "" << true << "" << "";
    QTest::newRow("case matters") << "section" << "Bob" << false << "" << "";
    QTest::newRow("from a start node") << "section" << "carol" << false << "bob" << "carol#bob";
    QTest::newRow("from a start node, not above it") << "section" << "alice" << true << "bob" << "";
}

void tst_WDataStructure::structureByValue()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, recursive);
    QFETCH(QString, startPath);
    QFETCH(QString, expectedId);

    const Pointer root = lookupTree();
    const Pointer start = startPath.isEmpty() ? Pointer() : root->getSettingStructure(startPath);
    QVERIFY(startPath.isEmpty() || start);
    const Pointer found = root->GetStructureByValue(key, value, recursive, start);
    QCOMPARE(found ? found->gv(QStringLiteral("id")) : QString(), expectedId);
}

void tst_WDataStructure::childList()
{
    WDataStructure tree;
    const Pointer a = node(QStringLiteral("a")), b = node(QStringLiteral("b")), c = node(QStringLiteral("c"));
    QVERIFY(tree.AddStructure(a));
    QVERIFY(tree.AddStructure(b));
    QVERIFY(tree.AddStructure(c));
    QVERIFY(!tree.AddStructure(Pointer()));

    const QList<Pointer> snapshot = tree.getChildren();
    QCOMPARE(tree.childCount(), 3);
    QCOMPARE(tree.GetStructureByPos(0), a);
    QCOMPARE(tree.GetStructureByPos(2), c);
    QVERIFY(!tree.GetStructureByPos(3));
    QVERIFY(!tree.GetStructureByPos(-1));

    QVERIFY(tree.DeleteStructure(b));
    QVERIFY(!tree.DeleteStructure(b));
    QVERIFY(!tree.DeleteStructure(node(QStringLiteral("a")))); // an equal node is not that child
    QVERIFY(tree.DeleteStructure(QStringLiteral("c")));
    QVERIFY(!tree.DeleteStructure(QStringLiteral("c")));
    QCOMPARE(tree.getChildren(), QList<Pointer>{a});
    QCOMPARE(snapshot, (QList<Pointer>{a, b, c})); // the snapshot kept its list

    tree.sv(QStringLiteral("kept"), QStringLiteral("yes"));
    tree.clearChildren();
    QCOMPARE(tree.childCount(), 0);
    QCOMPARE(tree.gv(QStringLiteral("kept")), QStringLiteral("yes"));
}

void tst_WDataStructure::addStructureRefusesCycles()
{
    const Pointer root = chain(4);
    const Pointer leaf = root->GetStructureByValue(QStringLiteral("section"), QStringLiteral("3"), true);
    QVERIFY(leaf);
    QVERIFY(!root->AddStructure(root));
    QVERIFY(!leaf->AddStructure(root));
    QCOMPARE(leaf->childCount(), 0);
    QVERIFY(!root->SerializeStructure().isEmpty());

    // A node may sit under two parents: that is no cycle.
    const Pointer other = Pointer::create();
    QVERIFY(other->AddStructure(leaf));
}

void tst_WDataStructure::copiesShareChildrenClonesDoNot()
{
    WDataStructure tree;
    tree.setSetting(QStringLiteral("a/k"), "1");
    const QString before = dump(tree);

    WDataStructure copy(tree);
    WDataStructure assigned;
    assigned.setSetting(QStringLiteral("old/k"), "x");
    assigned = tree;
    const Pointer deep = tree.clone();
    QCOMPARE(dump(copy), before);
    QCOMPARE(dump(assigned), before);
    QCOMPARE(dump(*deep), before);

    tree.setSetting(QStringLiteral("a/k"), "2");
    tree.sv(QStringLiteral("own"), QStringLiteral("v"));
    QCOMPARE(copy.getSetting(QStringLiteral("a/k")), QByteArray("2")); // shared child
    QVERIFY(!copy.CheckKeyExist(QStringLiteral("own")));               // own values
    QCOMPARE(assigned.getSetting(QStringLiteral("a/k")), QByteArray("2"));
    QCOMPARE(dump(*deep), before);

    QVERIFY(!chain(WDataStructure::MaxDepth + 1)->clone());
    QVERIFY(chain(WDataStructure::MaxDepth)->clone());
}

void tst_WDataStructure::textRoundTrip()
{
    WDataStructure tree;
    tree.sv(QStringLiteral("section"), QStringLiteral("root"));
    tree.setSetting(QString::fromUtf8("contacts/jürgen/fullName"), QString::fromUtf8("Jürgen Groß").toUtf8());
    tree.setSetting(QString::fromUtf8("contacts/jürgen/vcard/photo"), QByteArray("\x89PNG\0\r\n\x1A\xFF", 9));
    tree.setSetting(QStringLiteral("contacts/bob/status"), "0");
    tree.setSetting(QStringLiteral("contacts/bob/empty"), QByteArray());
    tree.AddStructure(Pointer::create()); // a node with no values at all
    tree.setSetting(QStringLiteral("wftp/shareddiscs/d/top/permittedusers/u/read"), "1");
    tree.setSetting(QStringLiteral("big/blob"), QByteArray(300000, '\x7F'));

    const QString text = tree.SerializeStructure();
    for (const QChar ch : text)
        QVERIFY(ch.unicode() > 0x20 && ch.unicode() < 0x7F);

    WDataStructure read;
    read.setSetting(QStringLiteral("stale/k"), "x");
    QVERIFY(read.DeserializeStructure(text));
    QCOMPARE(dump(read), dump(tree));
    QCOMPARE(read.SerializeStructure(), text);

    WDataStructure empty;
    QVERIFY(read.DeserializeStructure(empty.SerializeStructure()));
    QCOMPARE(dump(read), dump(empty));
}

void tst_WDataStructure::textRoundTripAtDepthLimit()
{
    const Pointer deepest = chain(WDataStructure::MaxDepth);
    const QString text = deepest->SerializeStructure();
    WDataStructure read;
    QVERIFY(read.DeserializeStructure(text));
    QCOMPARE(dump(read), dump(*deepest));

    QVERIFY(chain(WDataStructure::MaxDepth + 1)->SerializeStructure().isEmpty());
}

void tst_WDataStructure::everyPrefixIsRejected()
{
    WDataStructure tree;
    tree.setSetting(QStringLiteral("a/b/k"), "v");
    tree.setSetting(QStringLiteral("a/j"), "w");
    tree.setSetting(QStringLiteral("c/k"), QByteArray());
    const QByteArray binary = binaryOf(tree.SerializeStructure());
    QVERIFY(!binary.isEmpty());
    for (int length = 0; length < binary.size(); ++length) {
        WDataStructure read(tree);
        QVERIFY2(!read.DeserializeStructure(textOf(binary.left(length))), qPrintable(QString::number(length)));
        QCOMPARE(read.size(), 0);
        QCOMPARE(read.childCount(), 0);
    }
}

void tst_WDataStructure::damagedText_data()
{
    QTest::addColumn<QString>("text");
    KvrConfig record;
    record.sv(QStringLiteral("section"), QStringLiteral("s"));
    const QByteArray version(1, '\x01');
    const QByteArray leaf = nodeBytes(KvrConfig(), 0);

    QTest::newRow("empty text") << QString();
    QTest::newRow("not Base64") << QStringLiteral("this is *not* base64!");
    QTest::newRow("non-ASCII text") << QString::fromUtf8("AQAAAAQAAAAAAAAAAA==ä");
    QTest::newRow("wrong version") << textOf(QByteArray(1, '\x02') + leaf);
    QTest::newRow("trailing bytes") << textOf(version + leaf + "x");
    QTest::newRow("child count beyond the input") << textOf(version + nodeBytes(record, 0xFFFFFFFFu) + leaf);
    QTest::newRow("one child missing") << textOf(version + nodeBytes(record, 2) + leaf);
    QTest::newRow("record length claims 2 GiB") << textOf(version + u32(0x80000000u) + leaf);
    QTest::newRow("damaged record inside") << textOf(version + u32(8) + u32(5) + u32(0) + u32(0));
    QTest::newRow("garbage bytes") << textOf(QByteArray::fromHex("01deadbeefcafebabe0000000000"));

    QByteArray deep = version;
    for (int i = 0; i < 100000; ++i)
        deep += nodeBytes(KvrConfig(), 1);
    QTest::newRow("hostile depth") << textOf(deep + leaf);
    QByteArray justTooDeep = version;
    for (int i = 0; i < WDataStructure::MaxDepth; ++i)
        justTooDeep += nodeBytes(KvrConfig(), 1);
    QTest::newRow("one level beyond the limit") << textOf(justTooDeep + leaf);
}

void tst_WDataStructure::damagedText()
{
    QFETCH(QString, text);
    WDataStructure read;
    read.setSetting(QStringLiteral("stale/k"), "x");
    read.sv(QStringLiteral("own"), QStringLiteral("y"));
    QVERIFY(!read.DeserializeStructure(text));
    QCOMPARE(read.size(), 0);
    QCOMPARE(read.childCount(), 0);
}

// Eight threads write settings and add children to one tree while a ninth
// serialises and copies it; every text it takes must read back, and no write
// may be lost.
void tst_WDataStructure::concurrentWritersAndSerialiser()
{
    constexpr int writerCount = 8;
    const auto tree = Pointer::create();
    std::atomic<bool> stop{false};
    std::atomic<int> badTexts{0};
    std::vector<int> rounds(writerCount, 0);
    std::vector<int> added(writerCount, 0);

    // std::thread rather than QThread: the thread checker follows its joins.
    std::vector<std::thread> threads;
    for (int w = 0; w < writerCount; ++w) {
        threads.emplace_back([&, w] {
            const QString mine = QStringLiteral("writer%1").arg(w);
            while (!stop.load()) {
                const int round = rounds[w]++;
                // All writers share the "shared" node and each other's paths.
                tree->setSetting(QStringLiteral("shared/w%1").arg(w), QByteArray::number(round));
                tree->setSetting(mine + QStringLiteral("/state/round"), QByteArray::number(round));
                tree->setSetting(QStringLiteral("shared/node%1/k").arg(round % 5), "v");
                tree->getSetting(QStringLiteral("writer%1/state/round").arg((w + 1) % writerCount));
                if (round % 4 == 0) {
                    const Pointer parent = tree->getSettingStructure(mine + QStringLiteral("/items"), true);
                    Pointer item = node(QString::number(round));
                    item->SetValue(QStringLiteral("data"), QByteArray(64, char(w)));
                    parent->AddStructure(item);
                    ++added[w];
                }
                tree->GetStructureByValue(QStringLiteral("section"), QStringLiteral("node3"), true);
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop.load()) {
            const QString text = tree->SerializeStructure();
            WDataStructure read;
            if (!read.DeserializeStructure(text))
                ++badTexts;
            WDataStructure copy(*tree);
            copy = *tree;
            tree->clone();
        }
    });
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < 2000)
        QThread::msleep(50);
    stop = true;
    for (std::thread &thread : threads)
        thread.join();

    QCOMPARE(badTexts.load(), 0);
    const QStringList rootSections = [&] {
        QStringList s;
        for (const Pointer &child : tree->getChildren())
            s << child->gv(QStringLiteral("section"));
        return s;
    }();
    QCOMPARE(rootSections.count(QStringLiteral("shared")), 1); // created once despite the race
    QCOMPARE(tree->getSettingStructure(QStringLiteral("shared"))->childCount(), 5);
    for (int w = 0; w < writerCount; ++w) {
        QVERIFY(rounds[w] > 0);
        const QByteArray last = QByteArray::number(rounds[w] - 1);
        QCOMPARE(tree->getSetting(QStringLiteral("shared/w%1").arg(w)), last);
        QCOMPARE(tree->getSetting(QStringLiteral("writer%1/state/round").arg(w)), last);
        QCOMPARE(tree->getSettingStructure(QStringLiteral("writer%1/items").arg(w))->childCount(), added[w]);
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_WDataStructure)
#include "tst_WDataStructure.moc"
