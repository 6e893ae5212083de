// Prints the monotonic clock (ns) at the end of the application object's constructor, then its role.
#include "singleapplication.h"

#include <cstdio>
#include <ctime>

int main(int argc, char **argv)
{
    // The election as the program holds it (app/run.cpp): secondaries allowed, the key scoped to the
    // account, a second for contacting the primary (never spent), no user data.
    const bool secondariesAllowed = true;
    const int primaryContactTimeoutMs = 1000;
    SingleApplication app(argc, argv, secondariesAllowed, SingleApplication::UserScoped,
                          primaryContactTimeoutMs, QString());
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%lld %s\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                app.runsAsSecondary() ? "secondary" : "primary");
    std::fflush(stdout);
    return 0;
}
