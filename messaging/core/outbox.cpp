// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "outbox.h"

#include "deliveries.h"
#include "endpointdirectory.h"
#include "identity.h"
#include "offthread.h"
#include "payloadtext.h"
#include "searchmethod.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QPointer>
#include <QStringEncoder>
#include <QThread>

#include <optional>
#include <utility>

using namespace InterProcBus;

Outbox::Outbox(const Identity *identity, EndpointDirectory *directory, Deliveries *deliveries,
               bool canPassFds, QObject *parent)
    : QObject(parent), m_identity(identity), m_directory(directory), m_deliveries(deliveries),
      m_canPassFds(canPassFds)
{
    m_captionWait.setSingleShot(true);
    m_captionWait.setInterval(DescribeTimeoutMs);
    connect(&m_captionWait, &QTimer::timeout, this, [this] {
        // Whoever has not answered by now is addressed by the captions known,
        // until every window is settled again.
        m_captionWaitOver = true;
        sendHeldBack();
    });
    connect(m_directory, &EndpointDirectory::captionsSettled, this, [this] {
        m_captionWaitOver = false;
        m_captionWait.stop();
        sendHeldBack();
    });
}

bool Outbox::waitsForCaptions(const Outgoing &payload) const
{
    return (payload.method == SearchMethod::ExactCaption ||
            payload.method == SearchMethod::CaptionPrefix) &&
           !m_captionWaitOver && m_directory->captionsPending();
}

int Outbox::send(Outgoing payload)
{
    INTERPROC_CHECK_THREAD(this);
    // Later sends wait behind held ones, to keep their order.
    if (!m_directory->isReady() || !m_heldBack.isEmpty() || waitsForCaptions(payload)) {
        m_heldBack.append(std::move(payload));
        sendHeldBack();
        return -1;
    }
    return sendNow(payload);
}

void Outbox::sendHeldBack()
{
    while (!m_heldBack.isEmpty() && m_directory->isReady()) {
        if (waitsForCaptions(m_heldBack.constFirst())) {
            if (!m_captionWait.isActive())
                m_captionWait.start();
            return;
        }
        sendNow(m_heldBack.takeFirst());
    }
}

void Outbox::dropHeldBack(const SendOutcome &why)
{
    m_captionWait.stop();
    const QList<Outgoing> dropped = std::exchange(m_heldBack, {});
    QPointer<Outbox> alive(this);
    for (const Outgoing &payload : dropped) {
        emit failure(payload.send, why);
        if (!alive)
            return;
    }
}

bool Outbox::nothingSent(quint64 send, const SendOutcome &why)
{
    emit failure(send, why);
    return false;
}

namespace {

// A text written into a sealed memfd in one form, or why it could not be.
struct SealedText
{
    std::shared_ptr<PayloadText::UniqueFd> fd;
    qint64 size = 0;
    std::optional<SendOutcome> error; // then it goes to none that take this form
};

struct SealedTexts
{
    SealedText utf8;
    SealedText utf16;
};

// Runs on a worker thread.
SealedText sealText(const QString &text, PayloadText::Encoding encoding)
{
    SealedText sealed;
    QString error;
    PayloadText::UniqueFd fd =
        encoding == PayloadText::Encoding::Utf16
            ? PayloadText::createSealedMemfdUtf16(QStringView(text), &sealed.size, &error)
            : PayloadText::createSealedMemfd(QStringView(text), &sealed.size, &error);
    if (!fd.isValid())
        sealed.error = SendOutcome(SendOutcome::TextNotSealed, QString(), error);
    else if (encoding == PayloadText::Encoding::Utf8 && sealed.size > MaxTextBytes)
        sealed.error = SendOutcome{SendOutcome::TextTooLarge, sealed.size, true};
    else
        sealed.fd = std::make_shared<PayloadText::UniqueFd>(std::move(fd));
    return sealed;
}

} // namespace

// One send's payload and addressees, from Send until its calls are made.
struct Outbox::Queued
{
    QList<PartyInfo> addressees; // with the form each takes a sealed text in, once known
    quint64 send = 0;
    QString senderName;
    qint32 longData = 0;
    bool ready = false;
    bool sealed = false;
    int formsAsked = 0;      // addressees still asked how they take a sealed text
    QByteArray utf8;         // a text that travels inside the message
    SealedTexts sealedTexts; // or one in a sealed memfd, in the forms the addressees take
};

int Outbox::sendNow(const Outgoing &payload)
{
    QList<PartyInfo> addressees;
    for (const PartyInfo &window : m_directory->match(payload.method, payload.target)) {
        bool skip = false;
        emit windowCheck(window.handle, window.caption, skip);
        if (!skip)
            addressees.append(window);
    }
    if (addressees.isEmpty()) {
        if (payload.send)
            emit addressed(payload.send, addressees);
        return 0;
    }
    const int count = int(addressees.size());
    Queued queued;
    queued.addressees = std::move(addressees);
    queued.send = payload.send;
    queued.senderName = payload.senderName;
    queued.longData = payload.longData;

    // Short texts travel inside the message. Each UTF-16 unit takes at least
    // one byte of UTF-8, so a longer text cannot be short enough.
    if (payload.stringData.size() <= InlineTextLimit) {
        // The same encoder as for large texts, so that a lone surrogate
        // becomes U+FFFD whatever the length of the text.
        if (payload.stringData != m_lastText) {
            QStringEncoder encoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless);
            m_lastTextUtf8 = encoder.encode(payload.stringData);
            m_lastText = payload.stringData;
        }
        if (m_lastTextUtf8.size() <= InlineTextLimit) {
            if (payload.send)
                emit addressed(payload.send, queued.addressees);
            queued.ready = true;
            queued.utf8 = m_lastTextUtf8;
            // Nothing waits before it: its calls are made now, as the queue
            // would make them.
            if (m_queue.empty()) {
                issue(queued);
            } else {
                m_queue.push_back(std::make_shared<Queued>(std::move(queued)));
                issueReady();
            }
            return count;
        }
        m_lastText.clear();
        m_lastTextUtf8.clear();
    }
    return sendSealed(payload, std::make_shared<Queued>(std::move(queued))) ? count : 0;
}

bool Outbox::sendSealed(const Outgoing &payload, const QueuedPtr &queued)
{
    if (!m_canPassFds)
        return nothingSent(payload.send, {SendOutcome::NoFdPassing});
    const QString &text = payload.stringData;
    if (text.size() > MaxTextBytes)
        return nothingSent(payload.send, {SendOutcome::TextTooLarge, text.size(), false});
    if (payload.send)
        emit addressed(payload.send, queued->addressees);

    // Later sends queue up behind this one. A window not asked yet how it
    // takes such a text is asked first, once: its answer stays with it.
    queued->sealed = true;
    m_queue.push_back(queued);
    for (qsizetype i = 0; i < queued->addressees.size(); ++i) {
        if (queued->addressees.at(i).offersKnown)
            continue;
        ++queued->formsAsked;
        m_directory->askOffers(queued->addressees.at(i).handle, this,
                               [this, queued, i, text](quint8 offers) {
                                   queued->addressees[i].offers = offers;
                                   queued->addressees[i].offersKnown = true;
                                   if (--queued->formsAsked == 0)
                                       seal(queued, text);
                               });
    }
    if (queued->formsAsked == 0)
        seal(queued, text);
    return true;
}

void Outbox::seal(const QueuedPtr &queued, const QString &text)
{
    bool utf8 = false;
    bool utf16 = false;
    for (const PartyInfo &window : std::as_const(queued->addressees))
        ((window.offers & PartyInfo::OffersSealedUtf16) ? utf16 : utf8) = true;
    // Writing up to hundreds of MiB takes far too long for the owner's
    // thread. The worker reads its own reference to the text, which the
    // owner may change meanwhile.
    runOffThread(
        this,
        [text, utf8, utf16] {
            SealedTexts sealed;
            if (utf16)
                sealed.utf16 = sealText(text, PayloadText::Encoding::Utf16);
            if (utf8)
                sealed.utf8 = sealText(text, PayloadText::Encoding::Utf8);
            return sealed;
        },
        [this, queued](const SealedTexts &sealed) {
            queued->sealedTexts = sealed;
            queued->ready = true;
            issueReady();
        });
}

void Outbox::issueReady()
{
    while (!m_queue.empty() && m_queue.front()->ready) {
        const QueuedPtr next = std::move(m_queue.front());
        m_queue.pop_front();
        issue(*next);
    }
}

void Outbox::issue(const Queued &queued)
{
    // One sealed copy of each form serves every receiver that takes it:
    // each reads it through its own descriptor, never through the shared
    // file offset.
    const auto bodyOf = [&](const SealedText *sealed, PayloadText::Encoding encoding) {
        auto body = std::make_shared<Deliveries::Body>();
        body->send = queued.send;
        body->senderHandle = m_identity->handle;
        if (queued.senderName != m_lastSenderName) {
            m_lastSenderNameUtf8 = queued.senderName.toUtf8();
            m_lastSenderName = queued.senderName;
        }
        body->senderName = m_lastSenderNameUtf8;
        body->longData = queued.longData;
        body->sealed = queued.sealed;
        body->utf8 = queued.utf8;
        if (sealed) {
            body->fd = sealed->fd;
            body->size = quint64(sealed->size);
            body->encoding = encoding;
        }
        return body;
    };
    std::shared_ptr<Deliveries::Body> inline_, utf8, utf16;
    for (const PartyInfo &window : queued.addressees) {
        const bool asUtf16 = window.offers & PartyInfo::OffersSealedUtf16;
        const SealedText *sealed = !queued.sealed ? nullptr
                                   : asUtf16      ? &queued.sealedTexts.utf16
                                                  : &queued.sealedTexts.utf8;
        SendOutcome why;
        if (sealed && sealed->error) {
            why = *sealed->error;
        } else {
            std::shared_ptr<Deliveries::Body> &body = !sealed ? inline_ : asUtf16 ? utf16 : utf8;
            if (!body)
                body = bodyOf(sealed,
                              asUtf16 ? PayloadText::Encoding::Utf16 : PayloadText::Encoding::Utf8);
            if (m_deliveries->deliver(window.handle, window.caption, window.owner, body, &why))
                continue;
        }
        emit undelivered(queued.send, window.handle, window.caption, why);
    }
}
