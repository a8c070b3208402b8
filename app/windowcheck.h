// The window's answer to the component's WindowCheck, which the window and
// the test peer share.
#pragma once

#include <QtGlobal>

// A send to a caption prefix that the sender's own caption also matches must
// not come back to it: sets skip for the window with the sender's own handle
// and leaves it as it came for any other.
void skipOwnWindow(qint32 ownHandle, qint32 windowHandle, bool &skip);
