#include "core/candidates.h"
#include "core/command_line.h"

#include <iostream>

int main(int argc, char** argv)
{
    return runProgram(argc, argv, productionParts(), DaemonEnvironment::system(), std::cout, std::cerr);
}
