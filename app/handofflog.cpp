#include "handofflog.h"

Q_LOGGING_CATEGORY(lcHandOff, "ostrel.handoff", QtWarningMsg)
