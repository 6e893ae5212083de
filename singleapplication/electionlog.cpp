#include "electionlog.h"

Q_LOGGING_CATEGORY(lcElection, "ostrel.election", QtWarningMsg)
