#include "registrylog.h"

Q_LOGGING_CATEGORY(lcRegistry, "ostrel.registry", QtWarningMsg)
