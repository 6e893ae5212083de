#include "waitlog.h"

Q_LOGGING_CATEGORY(lcWait, "ostrel.wait", QtWarningMsg)
