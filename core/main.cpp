#include "core/daemon.h"

int main(int argc, char** argv)
{
    return runDaemon(argc, argv, productionParts());
}
