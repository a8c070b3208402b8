#include "interproclogging.h"

Q_LOGGING_CATEGORY(lcInterProc, "calvorn.interproc", QtWarningMsg)
