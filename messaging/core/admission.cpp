// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "admission.h"

#include "interproclogging.h"
#include "offthread.h"
#include "partyowners.h"
#include "payloadtext.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include <fcntl.h>

using namespace InterProcBus;

namespace {
// Payloads held back at once, of one caller and of all callers together
// (a batch counts each of its own). A caller that floods an endpoint with
// calls it cannot vouch for is refused
// beyond its share instead of growing the endpoint's memory without end or
// taking the room of the others.
constexpr qsizetype MaxHeldPerCaller = 4096;
constexpr int MaxHeld = 4 * MaxHeldPerCaller;
// Text descriptors one caller may have waiting to be read: as many calls as
// a sender has on its way to one receiver, so only a caller that floods is
// refused.
constexpr int MaxUnreadPerCaller = 256;
const QString LimitsExceeded = QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded");
// A text read from a memfd at least this long (UTF-16 units) must be let go
// of before the next is read; for at most LetGoMs, looking every
// LookAgainMs.
constexpr qsizetype LargeTextChars = 1024 * 1024;
// Texts read from memfds at once, in bytes once read, until passed on;
// beyond it the next waits (one larger than this is read alone).
constexpr qint64 MaxReadBytes = 64 * 1024 * 1024;
constexpr qint64 LetGoMs = 1000;
constexpr int LookAgainMs = 5;
} // namespace

struct Admission::Pending
{
    IncomingCall call;
    QList<Payload> payloads; // one, unless the call is a batch
    bool batch = false;
    bool senderKnown = false;
    bool senderOk = false;
    bool textKnown = true;
    qint64 readBytes = 0; // of a text read from a memfd, until it is passed on
    QString errorName;    // set when the text was refused
    QString errorMessage;

    bool decided() const { return senderKnown && textKnown; }
};

Admission::Admission(const PartyOwners *owners, Inbox *inbox, QObject *parent)
    : QObject(parent), m_owners(owners), m_inbox(inbox)
{}

Admission::~Admission() = default;

Admission::SenderCheck Admission::checkSender(qint32 senderHandle, const QString &caller) const
{
    // Handle 0 stands for a sender without a window; any other handle must
    // be a window of the connection that made the call.
    if (senderHandle == 0)
        return SenderCheck::Verified;
    if (senderHandle < 0)
        return SenderCheck::Refused;
    const QString owner = m_owners->ownerOf(senderHandle);
    if (owner == caller)
        return SenderCheck::Verified;
    const bool ownerless = owner.isEmpty() && m_ownerless.contains(senderHandle);
    // The directory follows the bus on a connection of its own. When it has
    // taken in all the bus sent it, it knows every window's owner as of
    // this call; while it has not, a name that changed hands, or was taken,
    // just now may be among the rest, and the bus itself is asked below.
    if ((ownerless || !owner.isEmpty()) && m_owners->isReady() && !m_owners->isBehind())
        return SenderCheck::Refused;
    // A window the directory does not know yet (it is still loading, or the
    // window has just joined): the bus itself tells who owns it.
    return SenderCheck::Unknown;
}

void Admission::admit(const IncomingCall &call, Payload payload)
{
    INTERPROC_CHECK_THREAD(this);
    const SenderCheck sender = checkSender(payload.senderHandle, call.caller);
    if (sender == SenderCheck::Refused)
        return refuseSender(call, payload.senderHandle);
    const auto held = m_held.constFind(call.caller);
    const bool behindOthers = held != m_held.cend() && !held->empty();
    if (sender == SenderCheck::Verified && !behindOthers)
        return accept(call, {std::move(payload)}, false);
    hold(call, {std::move(payload)}, false, sender);
}

void Admission::admitBatch(const IncomingCall &call, QList<Payload> payloads)
{
    INTERPROC_CHECK_THREAD(this);
    const qint32 senderHandle = payloads.constFirst().senderHandle;
    const SenderCheck sender = checkSender(senderHandle, call.caller);
    if (sender == SenderCheck::Refused)
        return refuseSender(call, senderHandle);
    const auto held = m_held.constFind(call.caller);
    const bool behindOthers = held != m_held.cend() && !held->empty();
    if (sender == SenderCheck::Verified && !behindOthers)
        return accept(call, std::move(payloads), true);
    hold(call, std::move(payloads), true, sender);
}

void Admission::admitSealed(const IncomingCall &call, Payload payload, int fd, quint64 size,
                            PayloadText::Encoding encoding)
{
    INTERPROC_CHECK_THREAD(this);
    const SenderCheck sender = checkSender(payload.senderHandle, call.caller);
    if (sender == SenderCheck::Refused)
        return refuseSender(call, payload.senderHandle);
    int &unread = m_unreadByCaller[call.caller];
    if (unread >= MaxUnreadPerCaller)
        return refuse(call, LimitsExceeded,
                      QStringLiteral("%1 texts of this caller are waiting to be read; try again "
                                     "later.")
                          .arg(unread));
    auto text = std::make_shared<PayloadText::UniqueFd>(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!text->isValid()) {
        if (unread == 0)
            m_unreadByCaller.remove(call.caller);
        return refuse(call, LimitsExceeded,
                      QStringLiteral("The receiver has no descriptor free to read the text "
                                     "with; try again later."));
    }
    PendingPtr pending = hold(call, {std::move(payload)}, false, sender);
    if (!pending) {
        if (unread == 0)
            m_unreadByCaller.remove(call.caller);
        return;
    }
    ++unread;
    pending->textKnown = false;
    m_toRead.push_back({pending, text, size, encoding});
    readNextText();
}

void Admission::readNextText()
{
    while (!m_toRead.empty() && m_lastText.isNull()) {
        // A text takes up to twice its UTF-8 size once read, its UTF-16
        // size exactly; one of any size is read alone. The declared size
        // comes from the caller: one past the cap is refused unread, so
        // counting it as the cap keeps the sum from overflowing.
        const bool utf16 = m_toRead.front().encoding == PayloadText::Encoding::Utf16;
        const qint64 bytes =
            utf16 ? qint64(std::min<quint64>(m_toRead.front().size, quint64(MaxTextUtf16Bytes) + 1))
                  : 2 * qint64(std::min<quint64>(m_toRead.front().size, quint64(MaxTextBytes) + 1));
        if (m_readBytes > 0 && m_readBytes + bytes > MaxReadBytes)
            return; // drain() comes back here
        SealedText next = std::move(m_toRead.front());
        m_toRead.pop_front();
        // Its descriptor goes with the read: the caller may send another.
        const auto unread = m_unreadByCaller.find(next.pending->call.caller);
        if (unread != m_unreadByCaller.end() && --*unread <= 0)
            m_unreadByCaller.erase(unread);
        next.pending->readBytes = bytes;
        m_readBytes += bytes;
        // Checking, mapping and decoding up to hundreds of MiB takes far too
        // long for the home thread; the worker hands the outcome back.
        runOffThread(
            this,
            [text = next.text, size = next.size, utf16] {
                return utf16 ? PayloadText::readSealedUtf16(text->get(), size, MaxTextUtf16Bytes)
                             : PayloadText::readSealedText(text->get(), size, MaxTextBytes);
            },
            [this, pending = next.pending](const PayloadText::ReadOutcome &outcome) {
                if (outcome.text) {
                    pending->payloads.first().stringData = *outcome.text;
                } else {
                    pending->errorName = outcome.errorName;
                    pending->errorMessage = outcome.errorMessage;
                    m_readBytes -= pending->readBytes;
                    pending->readBytes = 0;
                }
                pending->textKnown = true;
                drain(pending->call.caller);
                readNextText();
            });
    }
}

Admission::PendingPtr Admission::hold(const IncomingCall &call, QList<Payload> payloads, bool batch,
                                      SenderCheck sender)
{
    const qsizetype count = payloads.size();
    qsizetype &mine = m_heldByCaller[call.caller];
    if (m_heldCount + count > MaxHeld || mine + count > MaxHeldPerCaller) {
        if (mine == 0)
            m_heldByCaller.remove(call.caller);
        refuse(call, LimitsExceeded,
               QStringLiteral("Too many payloads are waiting to be checked; try again later."));
        return {};
    }
    mine += count;
    m_heldCount += count;
    auto pending = std::make_shared<Pending>();
    pending->call = call;
    pending->payloads = std::move(payloads);
    pending->batch = batch;
    pending->senderKnown = sender != SenderCheck::Unknown;
    pending->senderOk = sender == SenderCheck::Verified;
    m_held[call.caller].push_back(pending);
    if (sender == SenderCheck::Unknown) {
        // One question to the bus serves every call that names this handle.
        const qint32 handle = pending->payloads.constFirst().senderHandle;
        auto lookup = m_lookups.find(handle);
        if (lookup == m_lookups.end()) {
            m_lookups.insert(handle, {pending});
            lookUpOwner(handle);
        } else {
            lookup->append(pending);
        }
    }
    return pending;
}

void Admission::lookUpOwner(qint32 handle)
{
    // Asked through the directory's connection: by the answer the directory
    // has seen the window join and heard its caption, so an answer to the
    // sender (by handle or caption) finds it.
    m_owners->lookUpOwner(
        handle, this, [this, handle](const QString &owner) { ownerKnown(handle, owner); },
        DeliveryTimeoutMs);
}

void Admission::ownerKnown(qint32 handle, const QString &owner)
{
    // Remembered only once the directory follows the bus's name changes.
    if (owner.isEmpty() && m_owners->isReady()) {
        if (m_ownerless.size() >= MaxHeld)
            m_ownerless.clear();
        m_ownerless.insert(handle);
    }
    QSet<QString> callers;
    for (const PendingPtr &pending : m_lookups.take(handle)) {
        pending->senderKnown = true;
        pending->senderOk = !owner.isEmpty() && pending->call.caller == owner;
        callers.insert(pending->call.caller);
    }
    for (const QString &caller : callers)
        drain(caller);
}

void Admission::drain(const QString &caller)
{
    auto held = m_held.find(caller);
    if (held == m_held.end())
        return;
    std::deque<PendingPtr> &queue = *held;
    while (!queue.empty() && queue.front()->decided()) {
        const PendingPtr pending = std::move(queue.front());
        queue.pop_front();
        m_heldCount -= pending->payloads.size();
        m_heldByCaller[caller] -= pending->payloads.size();
        if (pending->readBytes > 0) {
            m_readBytes -= pending->readBytes;
            pending->readBytes = 0;
            textPassedOn(pending->payloads.constFirst().stringData);
        }
        if (!pending->senderOk)
            refuseSender(pending->call, pending->payloads.constFirst().senderHandle);
        else if (!pending->errorName.isEmpty())
            refuse(pending->call, pending->errorName, pending->errorMessage);
        else
            accept(pending->call, std::move(pending->payloads), pending->batch);
    }
    if (queue.empty()) {
        m_held.erase(held);
        m_heldByCaller.remove(caller);
    }
    readNextText();
}

void Admission::textPassedOn(const QString &text)
{
    if (text.size() >= LargeTextChars) {
        m_lastText = text; // shared: tells when everyone else let go of it
        m_lastTextSince.start();
        lookAtLastText();
    }
}

void Admission::lookAtLastText()
{
    if (m_lastText.isNull())
        return;
    if (m_lastText.isDetached() || m_lastTextSince.elapsed() >= LetGoMs) {
        m_lastText = QString();
        readNextText();
        return;
    }
    if (!m_lookingAgain) {
        m_lookingAgain = true;
        QTimer::singleShot(LookAgainMs, this, [this] {
            m_lookingAgain = false;
            lookAtLastText();
        });
    }
}

void Admission::accept(const IncomingCall &call, QList<Payload> payloads, bool batch)
{
    // A call that wants no answer is not kept: a flood of them costs the
    // inbox only their payloads. Those that want one are kept to be
    // answered, at most as many as their senders have on their way.
    const bool answer = sd_bus_message_get_expect_reply(call.message.get()) > 0;
    // Batches carry inline texts only.
    const bool largeText = !batch && Inbox::isLarge(payloads.constFirst().stringData.size());
    if (refusedAsFull(call, largeText, payloads.size()))
        return;
    m_inbox->enqueue(call.caller, std::move(payloads), batch, answer ? call.message : BusMessage(),
                     answer ? call.connection : nullptr);
}

bool Admission::refusedAsFull(const IncomingCall &call, bool largeText, qsizetype count)
{
    if (m_inbox->hasRoom(call.caller, largeText, count))
        return false;
    if (sd_bus_message_get_expect_reply(call.message.get()) > 0) {
        refuse(call, LimitsExceeded, m_inbox->refusal(call.caller, largeText, count));
        return true;
    }
    // A sender that wants no answer learns nothing; the refusals are
    // counted and told on this side, once a second at most.
    ++m_overflowUnanswered;
    if (m_overflowTold.isValid() && m_overflowTold.elapsed() < 1000)
        return true;
    m_overflowTold.start();
    qCWarning(lcInterProc,
              "%lld payloads that wanted no answer were refused so far, the last from %s: the "
              "program had %lld waiting (at most %lld, %lld of one caller)",
              qint64(m_overflowUnanswered), qPrintable(call.caller), qint64(m_inbox->waiting()),
              qint64(Inbox::MaxWaiting), qint64(Inbox::MaxWaitingPerCaller));
    return true;
}

void Admission::refuse(const IncomingCall &call, const QString &errorName, const QString &message)
{
    if (call.connection)
        Bus::replyError(call.connection, call.message.get(), errorName, message);
}

void Admission::refuseSender(const IncomingCall &call, qint32 senderHandle)
{
    refuse(call, QLatin1String(ErrorSenderMismatch),
           QStringLiteral("Window %1 is not a window of this connection; send 0 as the sender "
                          "handle when you have no window.")
               .arg(senderHandle));
}
