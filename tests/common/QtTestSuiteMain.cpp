// The main() of a test suite: runs the one test class named by the first
// argument, passing the remaining arguments to QtTest.

#include "QtTestSuite.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {
// A function-local static: registrations run during static initialisation,
// in no defined order across the suite's files.
std::map<std::string, QtTestSuite::Runner> &registry()
{
    static std::map<std::string, QtTestSuite::Runner> runners;
    return runners;
}
}

bool QtTestSuite::add(const char *name, Runner runner)
{
    const bool added = registry().emplace(name, runner).second;
    if (!added) {
        std::fprintf(stderr, "two test classes are named %s\n", name);
        std::abort();
    }
    return true;
}

int main(int argc, char *argv[])
{
    const auto found = argc > 1 ? registry().find(argv[1]) : registry().end();
    if (found == registry().end()) {
        std::fprintf(stderr, "usage: %s TEST [QtTest options]\nthe tests:\n", argv[0]);
        for (const auto &test : registry())
            std::fprintf(stderr, "  %s\n", test.first.c_str());
        return 2;
    }
    // Windows under test scale as the program's do (app/main.cpp); set
    // before any test makes its application object.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // QtTest sees the suite as the program and the rest as its own options.
    std::vector<char *> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 2, argv + argc);
    arguments.push_back(nullptr);
    return found->second(argc - 1, arguments.data());
}
