// Feeds arbitrary bytes to the parsers of what comes from the broker; the first byte picks one:
// 0 a batch (TEMA/muestras), 1 a meta, 2 a summary, 3 a request or its answer. What is accepted
// must hold what the parser promises, and read back the same after writing it out again; what
// is refused must say why.

#include "batchformat.h"
#include "mqttmessages.h"

#include <cstdlib>

namespace {

using batchformat::kIndexLimit;
using batchformat::kLatestUnixNanos;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void batch(QByteArrayView payload)
{
    QString why;
    const auto b = Batch::decode(payload, &why);
    require(b.has_value() == why.isEmpty());
    if (!b)
        return;
    require(b->session > 0 && b->end() <= kIndexLimit);
    require(b->times.empty() == b->values.empty());
    for (size_t i = 0; i < b->times.size(); ++i) {
        const TimeStep &t = b->times[i];
        require(t.unixNanos >= 0 && t.unixNanos < kLatestUnixNanos && t.offset < b->values.size());
        require(i == 0 ? t.offset == 0 : t.offset > b->times[i - 1].offset && t.unixNanos > b->times[i - 1].unixNanos);
    }
    const auto again = Batch::decode(b->encode());
    require(again && again->session == b->session && again->first == b->first && again->values == b->values
            && again->times == b->times);
}

void meta(const QByteArray &json)
{
    QString why;
    const auto m = SessionMeta::fromJson(json, &why);
    require(m.has_value() == why.isEmpty());
    if (!m)
        return;
    const qint64 ms = m->start.toMSecsSinceEpoch();
    require(m->session > 0 && m->clockZeroUnixNanos >= 0 && m->clockZeroUnixNanos < kLatestUnixNanos);
    require(m->start.isValid() && ms >= 946'684'800'000 && ms < kLatestUnixNanos / 1'000'000);
    require(m->startUnixNanos > ms * 1'000'000 - 1'000'000 && m->startUnixNanos < ms * 1'000'000 + 1'000'000);
    const auto again = SessionMeta::fromJson(m->toJson());
    require(again && again->session == m->session && again->clockZeroUnixNanos == m->clockZeroUnixNanos
            && again->startUnixNanos == m->startUnixNanos);
}

void summary(const QByteArray &json)
{
    QString why;
    const auto s = SessionSummary::fromJson(json, &why);
    require(s.has_value() == why.isEmpty());
    if (!s)
        return;
    require(s->session > 0 && s->samples < kIndexLimit && s->recent < kIndexLimit);
    const auto again = SessionSummary::fromJson(s->toJson());
    require(again && again->session == s->session && again->samples == s->samples);
}

void request(const QByteArray &json)
{
    QString why;
    const auto r = ResendRequest::fromJson(json, &why);
    require(r.has_value() == why.isEmpty());
    if (!r)
        return;
    require(r->session > 0 && r->count > 0 && r->first < kIndexLimit && r->count <= kIndexLimit - r->first);
    const auto again = ResendRequest::fromJson(r->toJson());
    require(again && again->session == r->session && again->first == r->first && again->count == r->count
            && again->unavailable == r->unavailable);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 4) {
    case 0:
        batch(rest);
        break;
    case 1:
        meta(rest);
        break;
    case 2:
        summary(rest);
        break;
    default:
        request(rest);
        break;
    }
    return 0;
}
