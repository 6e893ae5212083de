#ifndef OSTREL_STANDINS_TASKLIST_H
#define OSTREL_STANDINS_TASKLIST_H

#include <cstdint>
#include <string>
#include <vector>

// One running process as the lister prints it.
struct ListedProcess
{
    std::string imageName; // file name of the executable image, UTF-8, no directory
    std::int64_t processId = 0;
};

// Every process of every account that the system lets us see, in the system's order. Processes that end
// while the list is being taken are left out.
std::vector<ListedProcess> listRunningProcesses();

#endif
