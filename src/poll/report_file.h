#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <optional>

#include "poll/protocol_pages.h"

namespace terval {

// Reports go into this folder of the working folder, one file per trip protocol.
inline constexpr char kReportFolder[] = "Protokols";

// Pr_<day>_<month>_<hour>_<minute>_<second>.dat: neither year nor relay, so a report of a moment
// already reported is written as Pr_…_2.dat, Pr_…_3.dat and so on, never over the earlier one.
QString reportFileName(const ProtocolStamp& stamp);

// The lines of a trip protocol report, without line ends.
QStringList reportLines(const QString& generatorName, uint16_t address,
                        const TripProtocolPage& page);
// The file's bytes: Windows-1251, every line ended by CR LF.
QByteArray reportBytes(const QString& generatorName, uint16_t address,
                       const TripProtocolPage& page);

struct ReportOutcome {
    QString path;                  // where the report went, or was meant to go
    std::optional<QString> error;  // what the operator must be told when it could not be written
};
// Writes the report into the Protokols folder of `workFolder`, creating the folder when missing,
// under the first of its names that no file has.
ReportOutcome writeTripReport(const QDir& workFolder, const QString& generatorName,
                              uint16_t address, const TripProtocolPage& page);

}  // namespace terval
