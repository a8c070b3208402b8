// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// How a party answers the others as CalvornTest windows do: the
// acknowledgement and the check that keeps a send from coming back to its
// sender. The window program, the interproc command and any program that
// wants to behave like a window share these.
#pragma once

/**
 * @file interprocconventions.h
 * @brief InterProcConventions: how a party answers as CalvornTest windows
 * do (InterProc::Core).
 */

#include <InterProc/interproccore_export.h>

#include <QString>
#include <QStringView>
#include <QtGlobal>

/**
 * @brief How a party answers as CalvornTest windows do.
 *
 * A window answers every payload it receives with an acknowledgement, a
 * payload with LongData 0 and the text acknowledgementText() of its own
 * caption, sent to the sender's handle; it never answers an
 * acknowledgement, so two parties cannot answer each other without end. A
 * window also never receives its own sends: its WindowCheck handler leaves
 * itself out with skipOwnWindow().
 *
 * @code
 * QObject::connect(&endpoint, &InterProcEndpoint::DataArrival, &endpoint,
 *                  [&](qint32 sender, const QString &, qint32, const QString &text) {
 *                      if (InterProcConventions::isAcknowledgement(text))
 *                          return;
 *                      endpoint.setTarget(sender);
 *                      endpoint.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
 *                      endpoint.setLongData(0);
 *                      endpoint.setStringData(
 *                          InterProcConventions::acknowledgementText(endpoint.caption()));
 *                      endpoint.Send();
 *                  });
 * QObject::connect(
 *     &endpoint, &InterProcEndpoint::WindowCheck, &endpoint,
 *     [&](qint32 window, const QString &, bool &skip) {
 *         InterProcConventions::skipOwnWindow(endpoint.handle(), window, skip);
 *     },
 *     Qt::DirectConnection);
 * @endcode
 */
namespace InterProcConventions {

/**
 * @brief Whether a payload's text is an acknowledgement, which is never
 * answered.
 *
 * @param stringData a received payload's text
 * @return true when its first 8 characters are exactly @c "OK from "
 *         (case and all); a shorter text never is one
 */
INTERPROCCORE_EXPORT bool isAcknowledgement(QStringView stringData);

/**
 * @brief The text of the acknowledgement that names its sender by caption.
 *
 * @param caption the acknowledging party's caption at the time it answers
 * @return @c OK @c from, a blank and @p caption in double quotes, for
 *         example <tt>OK from "Calvorn Control Sample - Server App"</tt>
 */
INTERPROCCORE_EXPORT QString acknowledgementText(const QString &caption);

/**
 * @brief The answer to WindowCheck that keeps a send from reaching its own
 * sender.
 *
 * A send to a caption prefix that the sender's own caption also matches
 * addresses the sender too; a WindowCheck handler that calls this leaves it
 * out.
 *
 * @param ownHandle the sending endpoint's handle
 * @param windowHandle the handle WindowCheck offers
 * @param skip set to true when @p windowHandle is @p ownHandle, left as it
 *        came otherwise (another handler may have set it)
 */
INTERPROCCORE_EXPORT void skipOwnWindow(qint32 ownHandle, qint32 windowHandle, bool &skip);

} // namespace InterProcConventions
