// Triggers held during a wait: each gets back its own state afterwards, also
// when its parent changed meanwhile or it was deleted.

#include "QtTestSuite.h"
#include "BusyTriggers.h"

#include <QAction>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <memory>

class tst_BusyTriggers : public QObject
{
    Q_OBJECT

private slots:
    void ownStateComesBack_data()
    {
        QTest::addColumn<bool>("enabledBefore");
        QTest::newRow("enabled") << true;
        QTest::newRow("disabled by its owner") << false;
    }
    void ownStateComesBack()
    {
        QFETCH(bool, enabledBefore);
        QPushButton button;
        QAction action(nullptr);
        button.setEnabled(enabledBefore);
        action.setEnabled(enabledBefore);
        {
            const BusyTriggers busy{&button, &action};
            QVERIFY(!button.isEnabled());
            QVERIFY(!action.isEnabled());
            // A press meanwhile does nothing.
            int presses = 0;
            connect(&button, &QPushButton::clicked, this, [&presses] { ++presses; });
            QTest::mouseClick(&button, Qt::LeftButton);
            QCOMPARE(presses, 0);
        }
        QCOMPARE(button.isEnabled(), enabledBefore);
        QCOMPARE(action.isEnabled(), enabledBefore);
    }

    // A button disabled only through its parent is not left disabled on its
    // own once the parent is enabled again.
    void parentsStateNotTakenOver()
    {
        QWidget parent;
        auto *button = new QPushButton(&parent);
        parent.setEnabled(false);
        {
            const BusyTriggers busy{button};
            parent.setEnabled(true);
            QVERIFY(!button->isEnabled());
        }
        QVERIFY(button->isEnabled());
    }

    void deletedMeanwhileSkipped()
    {
        auto action = std::make_unique<QAction>(nullptr);
        QPushButton button;
        {
            const BusyTriggers busy{action.get(), &button, nullptr, this};
            action.reset();
        }
        QVERIFY(button.isEnabled());
    }
};

WIVORA_TEST_MAIN(tst_BusyTriggers)
#include "tst_BusyTriggers.moc"
