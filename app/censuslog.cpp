#include "censuslog.h"

Q_LOGGING_CATEGORY(lcCensus, "ostrel.census", QtWarningMsg)
