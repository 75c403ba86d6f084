#pragma once

#include <QCoreApplication>

// The application object that the serial port's notifiers want, as the
// daemon has one. Qt keeps argc and argv by reference for the object's
// lifetime, so they live beside it. One at a time per process.
class TestApplication {
public:
    TestApplication()
        : app(argc, argv)
    {
    }
    TestApplication(const TestApplication&) = delete;
    TestApplication& operator=(const TestApplication&) = delete;

private:
    int argc = 1;
    char name[9] = "wdt-test";
    char* argv[2] = { name, nullptr };
    QCoreApplication app;
};
