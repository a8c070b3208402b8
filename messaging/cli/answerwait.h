// After delivering, interproc send stays on the bus until the windows have
// answered: a CalvornTest window acknowledges every payload, and one whose
// acknowledgement finds its sender gone reports that to its user.
#pragma once

#include <QSet>

class InterProcEndpoint;

// Returns once every window in windows has answered (its handle is in
// answered, which the caller keeps current from DataArrival) or has shown
// that it will not.
void waitForAnswers(InterProcEndpoint &endpoint, const QSet<qint32> &windows,
                    const QSet<qint32> &answered);
