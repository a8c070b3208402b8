#include "windowcheck.h"

void skipOwnWindow(qint32 ownHandle, qint32 windowHandle, bool &skip)
{
    if (windowHandle == ownHandle)
        skip = true;
}
