#include "core/candidates.h"

int main(int argc, char** argv)
{
    return runDaemon(argc, argv, productionParts(), DaemonEnvironment::system());
}
