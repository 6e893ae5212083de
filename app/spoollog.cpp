#include "spoollog.h"

Q_LOGGING_CATEGORY(lcSpool, "ostrel.spool", QtWarningMsg)
