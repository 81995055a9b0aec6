// The JSON messages a subscriber or a publisher receives: what is believed and what is refused,
// with the reason naming the field.
#include "mqttmessages.h"
#include "mqttwire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <limits>

namespace {

// A meta as the publisher writes it, with some fields changed and some removed.
QByteArray metaWith(const QJsonObject &changes, const QStringList &removed = {})
{
    SessionMeta meta;
    meta.session = 1'733'000'000'123ULL;
    meta.clockZeroUnixNanos = 1'700'000'000'123'456'789LL;
    meta.start = QDateTime::fromString(QStringLiteral("2026-03-01T10:00:00.123+01:00"), Qt::ISODateWithMs);
    meta.startUnixNanos = meta.start.toMSecsSinceEpoch() * 1'000'000 + 456'789;
    QJsonObject o = QJsonDocument::fromJson(meta.toJson()).object();
    for (auto it = changes.begin(); it != changes.end(); ++it)
        o.insert(it.key(), it.value());
    for (const QString &key : removed)
        o.remove(key);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

class TestMqttMessages : public QObject
{
    Q_OBJECT
private slots:
    void metaChecked_data();
    void metaChecked();
    void countsChecked_data();
    void countsChecked();
    void stateNamesItsSession_data();
    void stateNamesItsSession();
};

void TestMqttMessages::metaChecked_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint64>("startUnixNanos"); // when accepted
    QTest::addColumn<QString>("why");           // when refused: a part of the reason
    const qint64 start = 1'772'355'600'123'456'789; // 2026-03-01T09:00:00.123456789Z
    QTest::newRow("con desplazamiento horario") << metaWith({}) << start << "";
    QTest::newRow("en UTC") << metaWith({{"inicio", "2026-03-01T09:00:00.123Z"}}) << start << "";
    QTest::newRow("microsegundos")
        << metaWith({{"inicio", "2026-03-01T10:00:00.123456+01:00"}, {"inicio_unix_ns", start - 789}}) << start - 789 << "";
    QTest::newRow("inicio_unix_ns casi 1 ms después") << metaWith({{"inicio_unix_ns", start + 543'210}})
                                                     << start + 543'210 << "";
    QTest::newRow("sin inicio_unix_ns") << metaWith({}, {"inicio_unix_ns"}) << start - 456'789 << "";
    QTest::newRow("no es JSON") << QByteArray("{\"sesion\":") << qint64(0) << "JSON";
    QTest::newRow("sesión 0") << metaWith({{"sesion", 0}}) << qint64(0) << "\"sesion\"";
    QTest::newRow("sin sesión") << metaWith({}, {"sesion"}) << qint64(0) << "\"sesion\"";
    QTest::newRow("fecha imposible") << metaWith({{"inicio", "2026-13-45T99:00"}}) << qint64(0) << "2026-13-45T99:00";
    QTest::newRow("sin inicio") << metaWith({}, {"inicio"}) << qint64(0) << "\"inicio\"";
    QTest::newRow("antes de 2000") << metaWith({{"inicio", "1999-12-31T23:59:59.999Z"}}, {"inicio_unix_ns"})
                                   << qint64(0) << "1999-12-31T23:59:59.999Z";
    QTest::newRow("en 2200") << metaWith({{"inicio", "2200-01-01T00:00:00.000Z"}}, {"inicio_unix_ns"})
                             << qint64(0) << "2200-01-01";
    QTest::newRow("inicio_unix_ns 2^63−1") << metaWith({{"inicio_unix_ns", std::numeric_limits<qint64>::max()}})
                                           << qint64(0) << "9223372036854775807";
    QTest::newRow("inicio_unix_ns 1 ms aparte") << metaWith({{"inicio_unix_ns", start - 456'789 - 1'000'000}})
                                                << qint64(0) << "\"inicio_unix_ns\"";
    QTest::newRow("inicio_unix_ns fraccionario") << metaWith({{"inicio_unix_ns", 1.5}}) << qint64(0) << "1.5";
    QTest::newRow("sin reloj cero") << metaWith({}, {"reloj_cero_unix_ns"}) << qint64(0) << "\"reloj_cero_unix_ns\"";
    QTest::newRow("reloj cero fraccionario") << metaWith({{"reloj_cero_unix_ns", 12.5}}) << qint64(0) << "12.5";
    QTest::newRow("reloj cero en texto") << metaWith({{"reloj_cero_unix_ns", "1700000000"}}) << qint64(0)
                                         << "\"reloj_cero_unix_ns\"";
    QTest::newRow("reloj cero negativo") << metaWith({{"reloj_cero_unix_ns", -1}}) << qint64(0) << "-1";
}

// No recording gets a made-up start: a meta is believed only when its times say one thing.
void TestMqttMessages::metaChecked()
{
    QFETCH(QByteArray, json);
    QFETCH(qint64, startUnixNanos);
    QFETCH(QString, why);
    QString reason;
    const auto meta = SessionMeta::fromJson(json, &reason);
    QCOMPARE(bool(meta), why.isEmpty());
    QVERIFY2(reason.contains(why), qPrintable(reason));
    if (meta) {
        QVERIFY(reason.isEmpty());
        QCOMPARE(meta->startUnixNanos, startUnixNanos);
        QCOMPARE(meta->clockZeroUnixNanos, 1'700'000'000'123'456'789LL);
    }
}

void TestMqttMessages::countsChecked_data()
{
    QTest::addColumn<bool>("request"); // else a summary
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("pedido") << true << QByteArray(R"({"sesion":7,"primera":10,"cuantas":5})") << true;
    QTest::newRow("pedido de la mayor muestra, 2^63−1")
        << true << QByteArray(R"({"sesion":7,"primera":9223372036854775807,"cuantas":1})") << true;
    QTest::newRow("respuesta: no disponibles")
        << true << QByteArray(R"({"sesion":7,"primera":0,"cuantas":5,"disponible":false})") << true;
    QTest::newRow("pedido de 0 muestras") << true << QByteArray(R"({"sesion":7,"primera":10,"cuantas":0})") << false;
    QTest::newRow("pedido que pasa de 2^63")
        << true << QByteArray(R"({"sesion":7,"primera":9223372036854775807,"cuantas":2})") << false;
    QTest::newRow("pedido desde 2^63") << true << QByteArray(R"({"sesion":7,"primera":9223372036854775808,"cuantas":1})")
                                       << false;
    QTest::newRow("pedido de 1e12 desde casi 2^63")
        << true << QByteArray(R"({"sesion":7,"primera":9223372036000000000,"cuantas":1e12})") << false;
    QTest::newRow("pedido de 1e19") << true << QByteArray(R"({"sesion":7,"primera":0,"cuantas":1e19})") << false;
    QTest::newRow("pedido negativo") << true << QByteArray(R"({"sesion":7,"primera":-1,"cuantas":5})") << false;
    QTest::newRow("pedido fraccionario") << true << QByteArray(R"({"sesion":7,"primera":1.5,"cuantas":5})") << false;
    QTest::newRow("pedido de la sesión 0") << true << QByteArray(R"({"sesion":0,"primera":0,"cuantas":5})") << false;
    QTest::newRow("resumen antes de la primera muestra") << false << QByteArray(R"({"sesion":7,"muestras":0})") << true;
    QTest::newRow("resumen de 2^63−1 muestras")
        << false << QByteArray(R"({"sesion":7,"muestras":9223372036854775807,"muestras_segundo":5})") << true;
    QTest::newRow("resumen de 2^63 muestras") << false << QByteArray(R"({"sesion":7,"muestras":9223372036854775808})")
                                             << false;
    QTest::newRow("resumen negativo") << false << QByteArray(R"({"sesion":7,"muestras":-5})") << false;
    QTest::newRow("resumen de la sesión 0") << false << QByteArray(R"({"sesion":0,"muestras":5})") << false;
    QTest::newRow("resumen con muestras por segundo en texto")
        << false << QByteArray(R"({"sesion":7,"muestras":5,"muestras_segundo":"x"})") << false;
}

void TestMqttMessages::countsChecked()
{
    QFETCH(bool, request);
    QFETCH(QByteArray, json);
    QFETCH(bool, accepted);
    QString why;
    const bool read = request ? bool(ResendRequest::fromJson(json, &why)) : bool(SessionSummary::fromJson(json, &why));
    QCOMPARE(read, accepted);
    QCOMPARE(why.isEmpty(), accepted);
}

void TestMqttMessages::stateNamesItsSession_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("word");
    QTest::addColumn<quint64>("session");
    QTest::addColumn<bool>("lost");
    QTest::addColumn<qint64>("samples"); // -1: none said
    using namespace mqttwire;
    QTest::newRow("en línea") << stateText(kOnline, 42) << kOnline << quint64(42) << false << qint64(-1);
    QTest::newRow("la voluntad") << stateText(kOffline, 42, true) << kOffline << quint64(42) << true << qint64(-1);
    QTest::newRow("la despedida, con su cuenta") << goodbyeText(42, 300000) << kOffline << quint64(42) << false << qint64(300000);
    QTest::newRow("una cuenta que no es de una despedida")
        << QByteArray("en línea (sesión 42, 7 muestras)") << kOnline << quint64(42) << false << qint64(-1);
    QTest::newRow("cuenta desbordada") << QByteArray("fuera de línea (sesión 42, 9223372036854775808 muestras)")
                                       << kOffline << quint64(42) << false << qint64(-1);
    QTest::newRow("sin sesión") << QByteArray("fuera de línea") << kOffline << quint64(0) << false << qint64(-1);
    QTest::newRow("sesión 0") << QByteArray("fuera de línea (sesión 0)") << QStringLiteral("fuera de línea (sesión 0)")
                              << quint64(0) << false << qint64(-1);
}

// What a recorder acts on: the word, whose session it is, and the goodbye's count; nothing read
// into a text that does not say it.
void TestMqttMessages::stateNamesItsSession()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, word);
    QFETCH(quint64, session);
    QFETCH(bool, lost);
    QFETCH(qint64, samples);
    const mqttwire::StateMessage m = mqttwire::parseState(payload);
    QCOMPARE(m.word, word);
    QCOMPARE(m.session, session);
    QCOMPARE(m.connectionLost, lost);
    QCOMPARE(m.samples ? qint64(*m.samples) : qint64(-1), samples);
}

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "test_mqttmessages.moc"
