// Prints the monotonic clock (ns) at the end of the application object's constructor, then its role.
#include "singleapplication.h"

#include <cstdio>
#include <ctime>

int main(int argc, char **argv)
{
    SingleApplication app(argc, argv, true, SingleApplication::UserScoped, 1000, QString());
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%lld %s\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                app.runsAsSecondary() ? "secondary" : "primary");
    std::fflush(stdout);
    return 0;
}
