#include "tools/simulator/options.h"
#include "tools/simulator/simulation.h"

#include <cstdio>

int main(int argc, char** argv)
{
    const ParsedCommandLine parsed = parseCommandLine(argc, argv);
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        std::fputs(helpText().toUtf8().constData(), stdout);
        return 0;
    case ParsedCommandLine::Action::List:
        std::fputs(listText().toUtf8().constData(), stdout);
        return 0;
    case ParsedCommandLine::Action::Error:
        std::fprintf(stderr, "wdt-simulator: %s\nTry wdt-simulator --help.\n", parsed.error.toUtf8().constData());
        return 2;
    case ParsedCommandLine::Action::Run:
        break;
    }
    return runSimulation(parsed.options, argv[0]);
}
