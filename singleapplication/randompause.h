#ifndef OSTREL_SINGLEAPPLICATION_RANDOMPAUSE_H
#define OSTREL_SINGLEAPPLICATION_RANDOMPAUSE_H

// Sleeps a random 8 to 17 ms, so that copies started together do not retry in lock step: before a copy's
// first look at the shared block, between the passes of the wait for a consistent block, and between
// attempts to connect to the primary.
void randomPause();

#endif
