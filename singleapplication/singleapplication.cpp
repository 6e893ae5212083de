#include "singleapplication.h"

// Temporary: the election is being written; until it lands every copy acts as the primary.
SingleApplication::SingleApplication(int &argc, char **argv, bool, StartOptions, int, const QString &)
    : QCoreApplication(argc, argv)
    , d_ptr(nullptr)
{
}

SingleApplication::~SingleApplication() = default;

bool SingleApplication::runsAsSecondary() const
{
    return false;
}

void SingleApplication::failOnSharedMemoryError()
{
    ::exit(1);
}
