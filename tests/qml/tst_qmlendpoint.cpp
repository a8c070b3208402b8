// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The QML type InterProcEndpoint, loaded through `import InterProc` as a QML
// program loads it: a payload sent from QML code reaches an endpoint in C++
// field for field, that endpoint's answer raises onDataArrival in QML with
// the answer's fields, delivery and its failure reach onDelivered and
// onDeliveryFailed (and the handle of the send to its outcome), and a property
// given a value it cannot hold warns and keeps its value.
#include <InterProc/interprocbus.h>
#include <InterProc/interprocendpoint.h>

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlError>
#include <QQmlExpression>
#include <QSocketNotifier>
#include <QTest>

#include <memory>

#include <systemd/sd-bus.h>

namespace {
constexpr int TimeoutMs = 30000;
const QString CppCaption = QStringLiteral("C++ party");
const QString QmlCaption = QStringLiteral("QML party");

// A QML party that keeps what its handlers were given.
const QByteArray QmlParty = R"(
import InterProc
InterProcEndpoint {
    caption: "QML party"
    property var arrival: null
    property var delivery: null
    property var failure: null
    property string error
    property bool readySeen: false // what a binding on ready sees
    onReadyChanged: readySeen = ready
    onDataArrival: (senderHandle, senderName, longData, stringData) => {
        arrival = {senderHandle, senderName, longData, stringData}
    }
    onDelivered: (windowHandle, windowName) => { delivery = {windowHandle, windowName} }
    onDeliveryFailed: (windowHandle, windowName, reason) => {
        failure = {windowHandle, windowName, reason}
    }
    onErrorOccurred: message => { error = message }
    function sendTo(address, method, number, text) {
        target = address
        targetSearchMethod = method
        longData = number
        stringData = text
        return send()
    }
    // The last handle, and what it told.
    property var followed: null
    property var outcomes: []
    property int finishings: 0
    function followTo(address, method, number, text) {
        target = address
        targetSearchMethod = method
        longData = number
        stringData = text
        followed = startSend()
        followed.outcomeKnown.connect((handle, caption, outcome) => {
            outcomes = outcomes.concat([{handle, outcome, reason: followed.reason(handle)}])
        })
        followed.finished.connect(() => { ++finishings })
    }
}
)";

// A name on the test's bus whose connection exports nothing, so that sd-bus
// refuses every call to it. Held with sd-bus on the test's own thread: QtDBus
// would start a connection thread that only the global destructors stop, and
// that thread can still be ending when LeakSanitizer looks at exit, which
// then reports the thread's data as leaked.
class HollowName
{
public:
    explicit HollowName(const QString &name)
    {
        if (sd_bus_open_user(&m_bus) < 0 ||
            sd_bus_request_name(m_bus, name.toUtf8().constData(), 0) < 0)
            return;
        m_read = std::make_unique<QSocketNotifier>(sd_bus_get_fd(m_bus), QSocketNotifier::Read);
        QObject::connect(m_read.get(), &QSocketNotifier::activated, m_read.get(), [this] {
            while (sd_bus_process(m_bus, nullptr) > 0) {
            }
        });
    }
    ~HollowName()
    {
        m_read.reset();
        sd_bus_flush_close_unref(m_bus);
    }
    HollowName(const HollowName &) = delete;
    HollowName &operator=(const HollowName &) = delete;
    bool isHeld() const { return m_read != nullptr; }

private:
    sd_bus *m_bus = nullptr;
    std::unique_ptr<QSocketNotifier> m_read;
};

struct Arrival
{
    qint32 sender;
    QString name;
    qint32 longData;
    QString text;
};
} // namespace

class TestQmlEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void roundTripWithCpp_data();
    void roundTripWithCpp();
    void deliveryFailureReachesQml();
    void wrongValueWarnsAndKeeps_data();
    void wrongValueWarnsAndKeeps();

private:
    // Creates the QML party and waits until it knows the bus.
    QObject *createParty();
    QVariant evaluate(const QString &expression);

    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<QObject> m_party;
    QList<QQmlError> m_warnings;
};

void TestQmlEndpoint::init()
{
    m_engine = std::make_unique<QQmlEngine>();
    m_engine->addImportPath(QStringLiteral(INTERPROC_QML_IMPORT_DIR));
    m_warnings.clear();
    connect(m_engine.get(), &QQmlEngine::warnings, this,
            [this](const QList<QQmlError> &warnings) { m_warnings += warnings; });
}

void TestQmlEndpoint::cleanup()
{
    m_party.reset();
    m_engine.reset();
}

QObject *TestQmlEndpoint::createParty()
{
    QQmlComponent component(m_engine.get());
    component.setData(QmlParty, QUrl(QStringLiteral("qrc:/QmlParty.qml")));
    m_party.reset(component.create());
    if (!m_party) {
        qWarning().noquote() << component.errorString();
        return nullptr;
    }
    if (!m_party->property("connected").toBool())
        qWarning().noquote() << m_party->property("errorString").toString();
    else if (!QTest::qWaitFor([&] { return m_party->property("readySeen").toBool(); }, TimeoutMs))
        qWarning("the QML party was never told it is ready");
    return m_party->property("readySeen").toBool() ? m_party.get() : nullptr;
}

QVariant TestQmlEndpoint::evaluate(const QString &expression)
{
    QQmlExpression script(m_engine->contextForObject(m_party.get()), m_party.get(), expression);
    const QVariant result = script.evaluate();
    if (script.hasError())
        qWarning().noquote() << script.error().toString();
    return result;
}

void TestQmlEndpoint::roundTripWithCpp_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("target"); // "handle" for the C++ party's handle
    QTest::addColumn<qint32>("longData");
    QTest::addColumn<QString>("text");
    QTest::newRow("exact caption") << 0 << CppCaption << -42 << QStringLiteral("hello");
    QTest::newRow("caption prefix, lines and emoji")
        << 1 << QStringLiteral("C++") << 2147483647 << QStringLiteral("zwei\r\nZeilen ✓ 😀");
    QTest::newRow("handle, empty text")
        << 2 << QStringLiteral("handle") << (-2147483647 - 1) << QString();
}

void TestQmlEndpoint::roundTripWithCpp()
{
    QFETCH(int, method);
    QFETCH(QString, target);
    QFETCH(qint32, longData);
    QFETCH(QString, text);

    // The C++ party answers each payload at once, to its sender's handle,
    // from inside its handler as a window does.
    InterProcEndpoint cpp(CppCaption);
    QVERIFY2(cpp.isConnected(), qPrintable(cpp.errorString()));
    QList<Arrival> arrived;
    int answered = -2;
    connect(&cpp, &InterProcEndpoint::DataArrival, this,
            [&](qint32 from, const QString &name, qint32 number, const QString &received) {
                arrived.append({from, name, number, received});
                cpp.setTarget(from);
                cpp.setTargetSearchMethod(InterProcEndpoint::WindowHandle);
                cpp.setLongData(~number);
                cpp.setStringData(QStringLiteral("answer to ") + received);
                answered = cpp.Send();
            });
    QTRY_VERIFY_WITH_TIMEOUT(cpp.isReady(), TimeoutMs);

    QObject *party = createParty();
    QVERIFY(party);
    const QVariant address =
        target == QLatin1String("handle") ? QVariant(cpp.handle()) : QVariant(target);
    QVariant addressed;
    QVERIFY(QMetaObject::invokeMethod(party, "sendTo", Q_RETURN_ARG(QVariant, addressed),
                                      Q_ARG(QVariant, address), Q_ARG(QVariant, method),
                                      Q_ARG(QVariant, longData), Q_ARG(QVariant, text)));
    QCOMPARE(addressed.toInt(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(arrived.size(), 1, TimeoutMs);
    const qint32 qmlHandle = party->property("handle").toInt();
    QVERIFY(qmlHandle > 0);
    QCOMPARE(arrived.at(0).sender, qmlHandle);
    QCOMPARE(arrived.at(0).name, QmlCaption);
    QCOMPARE(arrived.at(0).longData, longData);
    QCOMPARE(arrived.at(0).text, text);
    QCOMPARE(answered, 1);

    QTRY_VERIFY_WITH_TIMEOUT(!evaluate(QStringLiteral("arrival")).isNull(), TimeoutMs);
    QCOMPARE(evaluate(QStringLiteral("arrival.senderHandle")).toInt(), cpp.handle());
    QCOMPARE(evaluate(QStringLiteral("arrival.senderName")).toString(), CppCaption);
    QCOMPARE(evaluate(QStringLiteral("arrival.longData")).toInt(), ~longData);
    QCOMPARE(evaluate(QStringLiteral("arrival.stringData")).toString(),
             QStringLiteral("answer to ") + text);
    QTRY_VERIFY_WITH_TIMEOUT(!evaluate(QStringLiteral("delivery")).isNull(), TimeoutMs);
    QCOMPARE(evaluate(QStringLiteral("delivery.windowHandle")).toInt(), cpp.handle());
    QCOMPARE(evaluate(QStringLiteral("delivery.windowName")).toString(), CppCaption);
    QVERIFY(evaluate(QStringLiteral("failure")).isNull());
}

void TestQmlEndpoint::deliveryFailureReachesQml()
{
    // A name of a party that exports nothing: every delivery to it fails.
    constexpr qint32 Hollow = 737373;
    const HollowName hollow(InterProcBus::serviceForHandle(Hollow));
    QVERIFY(hollow.isHeld());

    QObject *party = createParty();
    QVERIFY(party);
    QVariant addressed;
    QVERIFY(QMetaObject::invokeMethod(party, "sendTo", Q_RETURN_ARG(QVariant, addressed),
                                      Q_ARG(QVariant, Hollow), Q_ARG(QVariant, 2),
                                      Q_ARG(QVariant, 1), Q_ARG(QVariant, QStringLiteral("lost"))));
    QCOMPARE(addressed.toInt(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!evaluate(QStringLiteral("failure")).isNull(), TimeoutMs);
    QCOMPARE(evaluate(QStringLiteral("failure.windowHandle")).toInt(), Hollow);
    QVERIFY(!evaluate(QStringLiteral("failure.reason")).toString().isEmpty());
    QVERIFY(evaluate(QStringLiteral("error")).toString().contains(QString::number(Hollow)));
    QVERIFY(evaluate(QStringLiteral("delivery")).isNull());

    // The handle of the same send tells the outcome by its value.
    QVERIFY(QMetaObject::invokeMethod(party, "followTo", Q_ARG(QVariant, Hollow),
                                      Q_ARG(QVariant, 2), Q_ARG(QVariant, 2),
                                      Q_ARG(QVariant, QStringLiteral("lost again"))));
    QCOMPARE(evaluate(QStringLiteral("followed.addressed")).toInt(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(evaluate(QStringLiteral("finishings")).toInt(), 1, TimeoutMs);
    QCOMPARE(evaluate(QStringLiteral("outcomes.length")).toInt(), 1);
    QCOMPARE(evaluate(QStringLiteral("outcomes[0].handle")).toInt(), Hollow);
    QVERIFY(evaluate(QStringLiteral("outcomes[0].outcome === InterProcEndpoint.ReceiverGone && "
                                    "followed.outcome() === InterProcEndpoint.ReceiverGone"))
                .toBool());
    QCOMPARE(evaluate(QStringLiteral("outcomes[0].reason")).toString(),
             evaluate(QStringLiteral("failure.reason")).toString());
}

void TestQmlEndpoint::wrongValueWarnsAndKeeps_data()
{
    QTest::addColumn<QString>("assignment"); // JavaScript, run in the party
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("expected"); // the value afterwards
    QTest::addColumn<QString>("warning");   // empty: none expected

    const QString methods =
        QStringLiteral("targetSearchMethod takes 0 (InterProcEndpoint.ExactCaption), 1 "
                       "(InterProcEndpoint.CaptionPrefix) or 2 (InterProcEndpoint.WindowHandle), "
                       "not %1; it keeps 1.");
    const QString numbers = QStringLiteral(
        "longData takes a whole number from -2147483648 to 2147483647, not %1; it keeps 7.");
    const QString targets = QStringLiteral(
        "target takes a caption (a text) or a handle (a whole number from -2147483648 to "
        "2147483647), not %1; it keeps the text \"start\".");
    // Every row starts from target "start", longData 7, targetSearchMethod 1.
    QTest::newRow("method 3") << "targetSearchMethod = 3"
                              << "targetSearchMethod" << QVariant(1)
                              << methods.arg(QStringLiteral("3"));
    QTest::newRow("method -1") << "targetSearchMethod = -1"
                               << "targetSearchMethod" << QVariant(1)
                               << methods.arg(QStringLiteral("-1"));
    QTest::newRow("method as text")
        << "targetSearchMethod = '2'"
        << "targetSearchMethod" << QVariant(1) << methods.arg(QStringLiteral("the text \"2\""));
    QTest::newRow("method by name") << "targetSearchMethod = InterProcEndpoint.WindowHandle"
                                    << "targetSearchMethod" << QVariant(2) << QString();
    QTest::newRow("number with a fraction")
        << "longData = 2.5"
        << "longData" << QVariant(7) << numbers.arg(QStringLiteral("2.5"));
    QTest::newRow("number past 32 bits")
        << "longData = 2147483648"
        << "longData" << QVariant(7) << numbers.arg(QStringLiteral("2147483648"));
    QTest::newRow("number as text")
        << "longData = '42'"
        << "longData" << QVariant(7) << numbers.arg(QStringLiteral("the text \"42\""));
    QTest::newRow("number as a long text")
        << "longData = 'x'.repeat(100000)"
        << "longData" << QVariant(7)
        << numbers.arg(QStringLiteral("the text \"%1…\" (100000 characters)")
                           .arg(QString(40, QLatin1Char('x'))));
    QTest::newRow("number, lowest") << "longData = -2147483648"
                                    << "longData" << QVariant(-2147483647 - 1) << QString();
    QTest::newRow("target true") << "target = true"
                                 << "target" << QVariant(QStringLiteral("start"))
                                 << targets.arg(QStringLiteral("true"));
    QTest::newRow("target with a fraction")
        << "target = 1.5"
        << "target" << QVariant(QStringLiteral("start")) << targets.arg(QStringLiteral("1.5"));
    QTest::newRow("target handle") << "target = 123456"
                                   << "target" << QVariant(123456) << QString();
}

void TestQmlEndpoint::wrongValueWarnsAndKeeps()
{
    QFETCH(QString, assignment);
    QFETCH(QString, property);
    QFETCH(QVariant, expected);
    QFETCH(QString, warning);

    QQmlComponent component(m_engine.get());
    component.setData("import InterProc\n"
                      "InterProcEndpoint { target: 'start'; longData: 7; targetSearchMethod: 1 }",
                      QUrl(QStringLiteral("qrc:/Values.qml")));
    m_party.reset(component.create());
    QVERIFY2(m_party, qPrintable(component.errorString()));
    QVERIFY(m_warnings.isEmpty());

    evaluate(assignment);
    QCOMPARE(m_party->property(qPrintable(property)), expected);
    if (warning.isEmpty()) {
        QVERIFY(m_warnings.isEmpty());
    } else {
        QCOMPARE(m_warnings.size(), 1);
        // Qt puts the object's type before the text: "QML Values: ...".
        QVERIFY2(m_warnings.at(0).description().endsWith(QStringLiteral(": ") + warning),
                 qPrintable(m_warnings.at(0).description()));
        QCOMPARE(m_warnings.at(0).url(), QUrl(QStringLiteral("qrc:/Values.qml")));
    }
}

QTEST_GUILESS_MAIN(TestQmlEndpoint)
#include "tst_qmlendpoint.moc"
