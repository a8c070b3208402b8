// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "busobject.h"

#include "admission.h"
#include "busconnection.h"
#include "channelserver.h"
#include "payloadtext.h"
#include "receivedbody.h"
#include "threadcheck.h"
#include <InterProc/interprocbus.h>

#include <QThread>

#include <algorithm>
#include <cstring>

using namespace InterProcBus;

namespace {
const QString AccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString UnknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");

// The methods of the contract with their one signature each.
struct Method
{
    const char *member;
    const char *signature;
};
constexpr Method Methods[] = {
    {"Describe", ""},
    {"Deliver", "isis"},
    {"DeliverUtf8", "isiay"},
    {"DeliverSealed", "isiht"},
    {"DeliverSealedUtf16", "isiht"},
    {"DeliverBatch", "isa(iay)"},
    {"Features", ""},
    {"OpenDirectChannel", ""},
    {"AttachDirectChannel", "ay"},
};

// A sender's name is its caption, at most 1024 characters: 4 bytes each at
// most. Anything longer is no name of an endpoint, and is refused before it
// waits in the inbox with every payload.
constexpr size_t MaxSenderNameBytes = 4096;

bool refusedName(BusConnection *connection, sd_bus_message *m, const char *senderName)
{
    const size_t bytes = std::strlen(senderName);
    if (bytes <= MaxSenderNameBytes)
        return false;
    Bus::replyError(connection, m, QLatin1String(ErrorTooLarge),
                    QStringLiteral("The sender name is %1 bytes; at most %2 are accepted.")
                        .arg(qulonglong(bytes))
                        .arg(qulonglong(MaxSenderNameBytes)));
    return true;
}

QString tooLargeInline(size_t bytes)
{
    return QStringLiteral("The text is %1 bytes; at most %2 bytes are accepted inline, larger "
                          "texts go through DeliverSealed.")
        .arg(qulonglong(bytes))
        .arg(InlineTextLimit);
}
} // namespace

struct BusObject::Export
{
    BusObject *object = nullptr;
    BusConnection *connection = nullptr;
    bool channel = false;
    sd_bus_slot *guardSlot = nullptr;
    sd_bus_slot *vtableSlot = nullptr;
};

BusObject::BusObject(const Identity *identity, BusConnection *bus, Admission *admission,
                     ChannelServer *channels, QObject *parent)
    : QObject(parent), m_identity(identity), m_bus(bus), m_admission(admission),
      m_channels(channels)
{}

BusObject::~BusObject()
{
    for (Export *on : std::as_const(m_exports)) {
        sd_bus_slot_unref(on->vtableSlot);
        sd_bus_slot_unref(on->guardSlot);
        delete on;
    }
}

const sd_bus_vtable *BusObject::table()
{
    // clang-format off
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Handle", "i", &BusObject::property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("Caption", "s", &BusObject::property, 0, 0),
        SD_BUS_METHOD_WITH_NAMES("Describe", "", "", "is",
                                 SD_BUS_PARAM(handle) SD_BUS_PARAM(caption),
                                 &BusObject::describe, 0),
        SD_BUS_METHOD_WITH_NAMES("Deliver", "isis",
                                 SD_BUS_PARAM(senderHandle) SD_BUS_PARAM(senderName)
                                 SD_BUS_PARAM(longData) SD_BUS_PARAM(stringData),
                                 "", "", &BusObject::deliver, 0),
        SD_BUS_METHOD_WITH_NAMES("DeliverUtf8", "isiay",
                                 SD_BUS_PARAM(senderHandle) SD_BUS_PARAM(senderName)
                                 SD_BUS_PARAM(longData) SD_BUS_PARAM(stringData),
                                 "", "", &BusObject::deliverUtf8, 0),
        SD_BUS_METHOD_WITH_NAMES("DeliverSealed", "isiht",
                                 SD_BUS_PARAM(senderHandle) SD_BUS_PARAM(senderName)
                                 SD_BUS_PARAM(longData) SD_BUS_PARAM(stringData)
                                 SD_BUS_PARAM(size),
                                 "", "", &BusObject::deliverSealed, 0),
        SD_BUS_METHOD_WITH_NAMES("DeliverSealedUtf16", "isiht",
                                 SD_BUS_PARAM(senderHandle) SD_BUS_PARAM(senderName)
                                 SD_BUS_PARAM(longData) SD_BUS_PARAM(stringData)
                                 SD_BUS_PARAM(size),
                                 "", "", &BusObject::deliverSealedUtf16, 0),
        SD_BUS_METHOD_WITH_NAMES("DeliverBatch", "isa(iay)",
                                 SD_BUS_PARAM(senderHandle) SD_BUS_PARAM(senderName)
                                 SD_BUS_PARAM(payloads),
                                 "u", SD_BUS_PARAM(handedOver), &BusObject::deliverBatch, 0),
        SD_BUS_METHOD_WITH_NAMES("Features", "", "", "as", SD_BUS_PARAM(features),
                                 &BusObject::features, 0),
        SD_BUS_METHOD_WITH_NAMES("OpenDirectChannel", "", "", "say",
                                 SD_BUS_PARAM(address) SD_BUS_PARAM(token),
                                 &BusObject::openDirectChannel, 0),
        SD_BUS_METHOD_WITH_NAMES("AttachDirectChannel", "ay", SD_BUS_PARAM(token), "", "",
                                 &BusObject::attachDirectChannel, 0),
        SD_BUS_SIGNAL_WITH_NAMES("CaptionChanged", "is",
                                 SD_BUS_PARAM(handle) SD_BUS_PARAM(caption), 0),
        SD_BUS_VTABLE_END,
    };
    // clang-format on
    return vtable;
}

bool BusObject::exportOn(BusConnection *connection)
{
    auto *on = new Export;
    on->object = this;
    on->connection = connection;
    on->channel = connection != m_bus;
    // The guard runs before the table: sd-bus would answer a wrong
    // signature with InvalidArgs, the contract's callers expect it unknown.
    if (!connection->addObject(&on->guardSlot, &BusObject::guard, &on->vtableSlot, table(), on)) {
        delete on;
        return false;
    }
    m_exports.insert(connection, on);
    return true;
}

void BusObject::withdrawFrom(BusConnection *connection)
{
    Export *on = m_exports.take(connection);
    if (!on)
        return;
    sd_bus_slot_unref(on->vtableSlot);
    sd_bus_slot_unref(on->guardSlot);
    delete on;
}

void BusObject::emitCaptionChanged()
{
    const QByteArray caption = m_identity->caption.toUtf8();
    m_bus->emitSignal("CaptionChanged", "is", m_identity->handle, caption.constData());
}

int BusObject::guard(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    INTERPROC_CHECK_THREAD(on->object);
    if (sd_bus_message_get_type(m, nullptr) != 0 &&
        !sd_bus_message_is_method_call(m, nullptr, nullptr))
        return 0;
    const char *interface = sd_bus_message_get_interface(m);
    const char *member = sd_bus_message_get_member(m);
    const bool ours = interface && !std::strcmp(interface, Interface);
    if (on->channel && !on->object->m_channels->isAttached(on->connection) &&
        !(ours && member && !std::strcmp(member, "AttachDirectChannel"))) {
        Bus::replyError(on->connection, m, AccessDenied,
                        QStringLiteral("Call AttachDirectChannel on this connection first."));
        return 1;
    }
    if (!ours || !member)
        return 0;
    const char *signature = sd_bus_message_get_signature(m, 1);
    for (const Method &method : Methods) {
        if (std::strcmp(member, method.member) != 0)
            continue;
        if (std::strcmp(signature ? signature : "", method.signature) == 0)
            return 0;
        Bus::replyError(
            on->connection, m, UnknownMethod,
            QStringLiteral("No method %1 of %2 takes the arguments (%3).")
                .arg(QLatin1String(member), QLatin1String(Interface), QLatin1String(signature)));
        return 1;
    }
    return 0;
}

int BusObject::property(sd_bus *, const char *, const char *, const char *property,
                        sd_bus_message *reply, void *userdata, sd_bus_error *)
{
    const BusObject *object = static_cast<Export *>(userdata)->object;
    if (!std::strcmp(property, "Handle"))
        return sd_bus_message_append(reply, "i", object->m_identity->handle);
    return sd_bus_message_append(reply, "s", object->m_identity->caption.toUtf8().constData());
}

int BusObject::describe(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    const Identity *identity = on->object->m_identity;
    return on->connection->reply(m, "is", identity->handle, identity->caption.toUtf8().constData())
               ? 1
               : -ENOMEM;
}

QString BusObject::takeCaller(Export *on, sd_bus_message *m)
{
    if (!on->channel)
        return QString::fromUtf8(sd_bus_message_get_sender(m));
    // Without the bus, senders cannot be checked: the endpoint takes
    // nothing, as it takes nothing more on the bus.
    if (!m_bus->isOpen()) {
        Bus::replyError(on->connection, m, QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
                        QStringLiteral("The window has lost its connection to the D-Bus "
                                       "session bus"));
        return {};
    }
    return m_channels->callerOf(on->connection);
}

int BusObject::deliver(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    BusObject *self = on->object;
    qint32 senderHandle = 0;
    qint32 longData = 0;
    const char *senderName = nullptr;
    const char *text = nullptr;
    int r = sd_bus_message_read(m, "is", &senderHandle, &senderName);
    if (r < 0)
        return r;
    const QString caller = self->takeCaller(on, m);
    if (caller.isEmpty() || refusedName(on->connection, m, senderName))
        return 1;
    if (self->m_admission->refusedAsFull({BusMessage::ref(m), on->connection, caller}))
        return 1;
    // The same bound as for UTF-8 bytes: a stranger's string is refused
    // before it becomes a QString twice its size, and where its size can be
    // told from the message, before sd-bus reads (and checks) all of it.
    if (const std::optional<quint64> size = ReceivedBody::deliverText(m, senderName);
        size && *size > quint64(InlineTextLimit)) {
        Bus::replyError(on->connection, m, QLatin1String(ErrorTooLarge), tooLargeInline(*size));
        return 1;
    }
    r = sd_bus_message_read(m, "is", &longData, &text);
    if (r < 0)
        return r;
    const size_t bytes = std::strlen(text);
    if (bytes > size_t(InlineTextLimit)) {
        Bus::replyError(on->connection, m, QLatin1String(ErrorTooLarge), tooLargeInline(bytes));
        return 1;
    }
    self->m_admission->admit({Bus::answerable(m), on->connection, caller},
                             {senderHandle, Bus::text(senderName), longData, Bus::text(text)});
    return 1;
}

int BusObject::deliverUtf8(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    BusObject *self = on->object;
    qint32 senderHandle = 0;
    qint32 longData = 0;
    const char *senderName = nullptr;
    const void *bytes = nullptr;
    size_t size = 0;
    int r = sd_bus_message_read(m, "isi", &senderHandle, &senderName, &longData);
    if (r >= 0)
        r = sd_bus_message_read_array(m, 'y', &bytes, &size);
    if (r < 0)
        return r;
    const QString caller = self->takeCaller(on, m);
    if (caller.isEmpty() || refusedName(on->connection, m, senderName))
        return 1;
    if (self->m_admission->refusedAsFull({BusMessage::ref(m), on->connection, caller}))
        return 1;
    // Larger texts belong in a sealed memfd; inline ones stay small enough
    // to decode here without holding up the home thread.
    if (size > size_t(InlineTextLimit)) {
        Bus::replyError(on->connection, m, QLatin1String(ErrorTooLarge), tooLargeInline(size));
        return 1;
    }
    std::optional<QString> text =
        PayloadText::decodeUtf8(QByteArrayView(static_cast<const char *>(bytes), qsizetype(size)));
    if (!text) {
        Bus::replyError(on->connection, m, QLatin1String(ErrorInvalidText),
                        QStringLiteral("The text is not valid UTF-8."));
        return 1;
    }
    self->m_admission->admit({Bus::answerable(m), on->connection, caller},
                             {senderHandle, Bus::text(senderName), longData, std::move(*text)});
    return 1;
}

int BusObject::deliverSealed(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    return deliverSealedAs(m, userdata, PayloadText::Encoding::Utf8);
}

int BusObject::deliverSealedUtf16(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    return deliverSealedAs(m, userdata, PayloadText::Encoding::Utf16);
}

int BusObject::deliverSealedAs(sd_bus_message *m, void *userdata, PayloadText::Encoding encoding)
{
    auto *on = static_cast<Export *>(userdata);
    BusObject *self = on->object;
    qint32 senderHandle = 0;
    qint32 longData = 0;
    const char *senderName = nullptr;
    int fd = -1;
    uint64_t size = 0;
    const int r =
        sd_bus_message_read(m, "isiht", &senderHandle, &senderName, &longData, &fd, &size);
    if (r < 0)
        return r;
    const QString caller = self->takeCaller(on, m);
    if (caller.isEmpty() || refusedName(on->connection, m, senderName))
        return 1;
    // By its declared size: a text larger than a call carries is large.
    if (self->m_admission->refusedAsFull({BusMessage::ref(m), on->connection, caller},
                                         size > quint64(InlineTextLimit)))
        return 1;
    self->m_admission->admitSealed({Bus::answerable(m), on->connection, caller},
                                   {senderHandle, Bus::text(senderName), longData, QString()}, fd,
                                   size, encoding);
    return 1;
}

int BusObject::deliverBatch(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    BusObject *self = on->object;
    qint32 senderHandle = 0;
    const char *senderName = nullptr;
    int r = sd_bus_message_read(m, "is", &senderHandle, &senderName);
    if (r < 0)
        return r;
    const QString caller = self->takeCaller(on, m);
    if (caller.isEmpty() || refusedName(on->connection, m, senderName))
        return 1;
    if (self->m_admission->refusedAsFull({BusMessage::ref(m), on->connection, caller}))
        return 1;
    // Read one payload at a time, so that a batch past its bounds is
    // refused before the rest of it is looked at, let alone decoded.
    r = sd_bus_message_enter_container(m, 'a', "(iay)");
    if (r < 0)
        return r;
    QList<Payload> payloads;
    const QString name = Bus::text(senderName);
    qsizetype textBytes = 0;
    while ((r = sd_bus_message_enter_container(m, 'r', "iay")) > 0) {
        qint32 longData = 0;
        const void *bytes = nullptr;
        size_t size = 0;
        r = sd_bus_message_read(m, "i", &longData);
        if (r >= 0)
            r = sd_bus_message_read_array(m, 'y', &bytes, &size);
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
        if (r < 0)
            return r;
        if (size > size_t(InlineTextLimit)) {
            Bus::replyError(on->connection, m, QLatin1String(ErrorTooLarge), tooLargeInline(size));
            return 1;
        }
        textBytes += qsizetype(size);
        if (payloads.size() == MaxBatchPayloads || textBytes > MaxBatchTextBytes) {
            Bus::replyError(on->connection, m, QLatin1String(ErrorTooLarge),
                            QStringLiteral("A batch carries at most %1 payloads and %2 bytes of "
                                           "text; send the rest in another call.")
                                .arg(MaxBatchPayloads)
                                .arg(MaxBatchTextBytes));
            return 1;
        }
        std::optional<QString> text = PayloadText::decodeUtf8(
            QByteArrayView(static_cast<const char *>(bytes), qsizetype(size)));
        if (!text) {
            Bus::replyError(on->connection, m, QLatin1String(ErrorInvalidText),
                            QStringLiteral("The text of payload %1 of the batch is not valid "
                                           "UTF-8; none was taken.")
                                .arg(payloads.size() + 1));
            return 1;
        }
        payloads.append({senderHandle, name, longData, std::move(*text)});
    }
    if (r < 0)
        return r;
    if (payloads.isEmpty()) {
        on->connection->reply(m, "u", 0u);
        return 1;
    }
    self->m_admission->admitBatch({Bus::answerable(m), on->connection, caller},
                                  std::move(payloads));
    return 1;
}

int BusObject::features(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    static const char *const offered[] = {FeatureSealedUtf16, FeatureBatch, nullptr};
    sd_bus_message *reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
        r = sd_bus_message_append_strv(reply, const_cast<char **>(offered));
    if (r >= 0)
        on->connection->send(reply);
    sd_bus_message_unref(reply);
    return r >= 0 ? 1 : r;
}

namespace {
void replyOffer(BusConnection *connection, sd_bus_message *call, const QByteArray &address,
                const QByteArray &token)
{
    sd_bus_message *reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0)
        r = sd_bus_message_append(reply, "s", address.constData());
    if (r >= 0)
        r = sd_bus_message_append_array(reply, 'y', token.constData(), size_t(token.size()));
    if (r >= 0)
        connection->send(reply);
    sd_bus_message_unref(reply);
}
} // namespace

int BusObject::openDirectChannel(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    BusObject *self = on->object;
    ChannelServer *channels = self->m_channels;
    // Asked on the bus, whose sender name is what the token stands for; a
    // channel cannot hand out further channels.
    if (!on->channel && channels)
        channels->listen();
    if (on->channel || !channels || !channels->isListening()) {
        replyOffer(on->connection, m, {}, {});
        return 1;
    }
    // The token is bound to the caller's process, which the bus daemon
    // names; a channel from any other process is refused on attach.
    const QString caller = QString::fromUtf8(sd_bus_message_get_sender(m));
    const BusMessage ask = self->m_bus->newDaemonCall("GetConnectionUnixProcessID");
    const QByteArray name = caller.toUtf8();
    const BusMessage call = BusMessage::ref(m);
    BusConnection *bus = self->m_bus;
    const bool asked = ask && sd_bus_message_append(ask.get(), "s", name.constData()) >= 0 &&
                       bus->call(ask.get(), DeliveryTimeoutMs, self,
                                 [self, bus, call, caller](sd_bus_message *reply) {
                                     uint32_t pid = 0;
                                     if (!reply || sd_bus_message_is_method_error(reply, nullptr) ||
                                         sd_bus_message_read(reply, "u", &pid) < 0 || pid == 0) {
                                         replyOffer(bus, call.get(), {}, {});
                                         return;
                                     }
                                     replyOffer(bus, call.get(), self->m_channels->address(),
                                                self->m_channels->issueToken(caller, pid_t(pid)));
                                 });
    if (!asked)
        replyOffer(on->connection, m, {}, {});
    return 1;
}

int BusObject::attachDirectChannel(sd_bus_message *m, void *userdata, sd_bus_error *)
{
    auto *on = static_cast<Export *>(userdata);
    const void *bytes = nullptr;
    size_t size = 0;
    const int r = sd_bus_message_read_array(m, 'y', &bytes, &size);
    if (r < 0)
        return r;
    const QByteArray token(static_cast<const char *>(bytes), qsizetype(size));
    if (!on->channel || !on->object->m_channels->attach(on->connection, token)) {
        Bus::replyError(on->connection, m, AccessDenied,
                        QStringLiteral("This token opens no channel here."));
        return 1;
    }
    on->connection->reply(m, nullptr);
    return 1;
}
