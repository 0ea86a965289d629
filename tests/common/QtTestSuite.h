#pragma once

// Test programs of one folder are linked into one executable (a suite) to
// keep the build small; each test class still runs in a process of its own,
// picked by the first argument (see QtTestSuiteMain.cpp), so tests stay as
// isolated as with one program each.
//
// WIVORA_TEST_MAIN and WIVORA_TEST_GUILESS_MAIN stand where QTEST_MAIN and
// QTEST_GUILESS_MAIN would: the same start-up, registered under the class's
// name instead of being main().

#include <QtTest>

namespace QtTestSuite {
using Runner = int (*)(int argc, char *argv[]);
// Registers a test class's start-up under its name; returns true so that it
// can initialise a static.
bool add(const char *name, Runner runner);
}

#define WIVORA_TEST_MAIN(TestObject)                                                     \
    static int run##TestObject(int argc, char *argv[])                                   \
    {                                                                                    \
        QTEST_MAIN_IMPL(TestObject)                                                      \
    }                                                                                    \
    static const bool registered##TestObject = QtTestSuite::add(#TestObject, &run##TestObject);

#define WIVORA_TEST_GUILESS_MAIN(TestObject)                                             \
    static int run##TestObject(int argc, char *argv[])                                   \
    {                                                                                    \
        QT_PREPEND_NAMESPACE(QTest::Internal::callInitMain)<TestObject>();               \
        QCoreApplication app(argc, argv);                                                \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                         \
        TestObject tc;                                                                   \
        QTEST_SET_MAIN_SOURCE_PATH                                                       \
        return QTest::qExec(&tc, argc, argv);                                            \
    }                                                                                    \
    static const bool registered##TestObject = QtTestSuite::add(#TestObject, &run##TestObject);
