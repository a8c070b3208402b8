// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// One sd-bus connection (to the session bus, or a direct channel to or from
// another endpoint), driven from the thread that made it: a QSocketNotifier
// on its descriptor (read, and write while messages wait to go out) and a
// QTimer for its next timeout call sd_bus_process until nothing is left.
// No thread of its own: messages are built, sent, read and answered on the
// thread that made the connection.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include <systemd/sd-bus.h>

// A counted reference to an sd-bus message.
class BusMessage
{
public:
    BusMessage() = default;
    // Takes over the reference the caller holds.
    static BusMessage adopt(sd_bus_message *message);
    // Adds a reference of its own.
    static BusMessage ref(sd_bus_message *message);
    BusMessage(const BusMessage &other);
    BusMessage(BusMessage &&other) noexcept;
    BusMessage &operator=(BusMessage other) noexcept;
    ~BusMessage();

    sd_bus_message *get() const { return m_message; }
    explicit operator bool() const { return m_message != nullptr; }

private:
    sd_bus_message *m_message = nullptr;
};

struct PendingCall;

class BusConnection : public QObject
{
    Q_OBJECT

public:
    // The session bus; null and *error set when it cannot be reached.
    static BusConnection *openSessionBus(QObject *parent, QString *error);
    // A direct channel on a socket already connected to the other end,
    // which it takes over (closed on failure): no address another process
    // gave reaches sd-bus. Authentication goes on in the background.
    static BusConnection *connectToPeer(int fd, QObject *parent);
    // The server's end of a direct channel on an accepted socket, which it
    // takes over.
    static BusConnection *acceptPeer(int fd, QObject *parent);
    ~BusConnection() override;

    // The sd-bus connection itself, for tests that drive one end of a
    // socket pair by hand; the parts use the operations below, which keep
    // the connection's writing and its count of what was sent right.
    sd_bus *bus() const { return m_bus; }
    bool isOpen() const;
    // The connection's unique name on the bus (empty for a direct channel).
    QString uniqueName() const { return m_uniqueName; }
    // Whether the other end takes file descriptors (known once a direct
    // channel has authenticated).
    bool passesFds() const;

    // Sends a method call; handler runs on this thread once, with the reply
    // or the error (a timeout or a closed connection included), or with
    // null when this side closes the connection first; not once context is
    // gone. False when the call could not be sent.
    using ReplyHandler = std::function<void(sd_bus_message *reply)>;
    bool call(sd_bus_message *call, int timeoutMs, QObject *context, ReplyHandler handler,
              int *sendError = nullptr);
    // Sends a message that is not answered (a reply or a signal) or has
    // been sent through sd-bus directly.
    bool send(sd_bus_message *message);
    // After sending through sd-bus directly: make sure it goes out.
    void sent();

    // A method call of the InterProc interface to `destination` (null on a
    // direct channel), and one to the bus daemon itself, for call().
    BusMessage newCall(const char *destination, const char *member) const;
    BusMessage newDaemonCall(const char *member) const;
    // Answers a method call that arrived here, with values as
    // sd_bus_reply_method_return takes them.
    template <typename... Values>
    bool reply(sd_bus_message *call, const char *types, Values... values)
    {
        if (sd_bus_reply_method_return(call, types, values...) < 0)
            return false;
        sent();
        return true;
    }
    // Sends a signal of the InterProc object.
    template <typename... Values>
    bool emitSignal(const char *member, const char *types, Values... values)
    {
        if (sd_bus_emit_signal(m_bus, objectPath(), interfaceName(), member, types, values...) < 0)
            return false;
        sent();
        return true;
    }
    // Runs handler for each signal that rule matches (asked of the bus
    // daemon without waiting); the match lasts as long as *slot.
    bool addMatch(sd_bus_slot **slot, const char *rule, sd_bus_message_handler_t handler,
                  void *userdata);
    // Serves the InterProc object here: filter sees every call to it first,
    // then the members of vtable; each lasts as long as its slot.
    bool addObject(sd_bus_slot **filterSlot, sd_bus_message_handler_t filter,
                   sd_bus_slot **vtableSlot, const sd_bus_vtable *vtable, void *userdata);
    // Takes a well-known name, waiting for the bus daemon's answer: 0, or
    // the negative errno sd-bus gives (-EEXIST when another has it).
    int requestName(const QString &name);
    // Gives a name back without waiting.
    void releaseName(const QString &name);
    // Bytes that have arrived on the socket and wait to be read.
    int bytesWaiting() const;
    // Whether anything the other end sent has not been taken in yet: bytes
    // in the socket, or messages read but not yet handled.
    bool hasUnhandled() const;

    // What this side has handed to sd-bus so far, as a position in the
    // order of writing; taken right after a call or send, it names that
    // message for neverWritten().
    quint64 sendPosition() const { return m_sendPosition; }
    // True only when the message sent at `position` is known never to have
    // been written out whole: the connection closed with it still in
    // sd-bus's write queue. The other end cannot have read it.
    bool neverWritten(quint64 position) const;

    // Writes what is queued, waiting at most boundMs for the other end to
    // take it, and closes the connection. With untilPeerCloses, the other
    // end also gets the rest of boundMs to read it and close first, while
    // what it still sends is read and dropped: an end that writes to a
    // closed connection loses what it had not read yet.
    void flushAndClose(int boundMs, bool untilPeerCloses = false);

    // Writes what the socket takes and hands on what has arrived, for a
    // slice at most, as the event loop does; nothing while the connection
    // is already handing messages on further up the stack.
    void process();

signals:
    // The connection has closed (the other end went away, or the bus
    // daemon ended). Raised once, from this connection's event handling.
    void closed();

private:
    BusConnection(sd_bus *bus, QObject *parent);
    static const char *objectPath();
    static const char *interfaceName();
    void arm();
    void drainUntilPeerCloses(qint64 boundMs);
    // Notes which messages the write queue still holds once the connection
    // closes (or this side is about to close it).
    void noteClosing(bool closingHere = false);
    static int countCall(sd_bus_message *m, void *userdata, sd_bus_error *);

    sd_bus *m_bus = nullptr;
    QString m_uniqueName;
    QSet<PendingCall *> m_pending;
    bool m_closing = false;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    QTimer m_timer;
    bool m_closedTold = false;
    bool m_processing = false;
    // Messages written in the order sent, counted from above: each send of
    // this side, and each arriving method call, which sd-bus may answer by
    // itself. The write queue holds the last ones; a message that came later
    // than the queue's length from the end has not been written.
    quint64 m_sendPosition = 0;
    // The position from which on messages were still queued when the
    // connection closed (0: not known).
    quint64 m_unwrittenFrom = 0;
    bool m_closingNoted = false;
    // Not read while too much waits to be written (see process()); once so,
    // the memory is given back when the connection closes.
    bool m_throttled = false;
    bool m_throttledQueue = false;
    // Since the last pass ended with more waiting (see process()).
    QElapsedTimer m_moreWaiting;
};

// Builders and readers shared by the parts.
namespace Bus {
// A connection to the session bus, signed on and named (its Hello
// answered), for a caller that drives it itself; null and *error set when
// the bus cannot be reached.
sd_bus *openSessionBus(QString *error);
// Names the session bus that openSessionBus() reaches now (its address and
// runtime directory), for what is kept once per bus.
QByteArray sessionBusKey();
// A method call to be answered later, as it is answered: its cookie, sender
// and whether it wants a reply, without its arguments or the descriptors it
// carried (any number, named by its arguments or not), so that a call held
// for its answer holds no descriptor of the caller's. The call itself when
// the copy cannot be made.
BusMessage answerable(sd_bus_message *call);
// The error name of a reply, or empty when it is a plain reply.
QString errorName(sd_bus_message *reply);
QString errorMessage(sd_bus_message *reply);
// A D-Bus string (valid UTF-8, as sd-bus checks) as a QString, exactly: a
// leading byte order mark stays part of it.
QString text(const char *utf8);
// Answers a method call with an error, if it wants an answer.
void replyError(BusConnection *connection, sd_bus_message *call, const QString &name,
                const QString &message);
} // namespace Bus
