#include "support/trend_fixture.h"

#include <QLocale>
#include <algorithm>

namespace terval {

void PrintTo(const TrendPoint& p, std::ostream* os) {
    *os << "{" << p.timeMs << " ms, n " << p.count << ", " << p.min << " / " << p.mean << " / "
        << p.max << ", control " << p.controlMean << "}";
}

namespace testing {

void TrendJournalTest::TearDown() {
    trend.reset();
    journal.reset();
}

bool TrendJournalTest::make(JournalOptions options, TrendOptions trendOptions) {
    trend.reset();
    journal.reset();
    journal = std::make_unique<Journal>(folder.dir(), clock, messages, options);
    trend = std::make_unique<InsulationTrend>(*journal, trendOptions);
    return journal->open();
}

std::map<qint64, TrendPoint> bucketsOf(const std::vector<InsulationSample>& samples, qint64 unit) {
    struct Sums {
        qint64 n = 0, lo = 0, hi = 0, sum = 0, control = 0;
    };
    std::map<qint64, Sums> sums;
    for (const InsulationSample& s : samples) {
        Sums& b = sums[s.timeMs / unit * unit];
        b.lo = b.n == 0 ? s.insulationKohm : std::min<qint64>(b.lo, s.insulationKohm);
        b.hi = b.n == 0 ? s.insulationKohm : std::max<qint64>(b.hi, s.insulationKohm);
        ++b.n;
        b.sum += s.insulationKohm;
        b.control += s.controlKohm;
    }
    std::map<qint64, TrendPoint> out;
    for (const auto& [start, b] : sums) {
        const double n = static_cast<double>(b.n);
        out[start] = {start,
                      static_cast<double>(b.sum) / n,
                      static_cast<double>(b.lo),
                      static_cast<double>(b.hi),
                      static_cast<double>(b.control) / n,
                      static_cast<int>(b.n)};
    }
    return out;
}

TrendPoint aggregateOf(const std::vector<InsulationSample>& samples, qint64 from, qint64 length) {
    std::vector<InsulationSample> in;
    for (const InsulationSample& s : samples) {
        if (s.timeMs >= from && s.timeMs < from + length) {
            in.push_back(s);
            in.back().timeMs = from;
        }
    }
    const auto buckets = bucketsOf(in, 1);
    return buckets.empty() ? TrendPoint{from, 0, 0, 0, 0, 0} : buckets.begin()->second;
}

QString kohmText(double kohm, int decimals) {
    QLocale ru(QLocale::Russian, QLocale::Russia);
    ru.setNumberOptions(QLocale::OmitGroupSeparator);
    return ru.toString(kohm, 'f', decimals);
}

}  // namespace testing
}  // namespace terval
