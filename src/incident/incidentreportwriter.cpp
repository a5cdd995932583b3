#include "incidentreportwriter.h"

#include <QDir>
#include <QSaveFile>

#include "incidentlogging.h"

IncidentReportWriter::IncidentReportWriter(const QString &folder, QObject *parent)
    : QObject(parent), m_folder(folder), m_retryTimer(this) {
    m_retryTimer.setInterval(retryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { writeWaiting(QDeadlineTimer(QDeadlineTimer::Forever)); });
}

void IncidentReportWriter::write(const QString &baseName, IncidentReportData data) {
    if (m_waiting.size() >= size_t(maxWaiting)) {
        qCWarning(lcIncident).noquote() << "Incident report" << m_waiting.front().baseName
                                        << "given up: too many reports wait for the disk";
        m_waiting.pop_front();
    }
    m_waiting.push_back({baseName, std::move(data), false});
    writeWaiting(QDeadlineTimer(QDeadlineTimer::Forever));
}

void IncidentReportWriter::finish(const QDeadlineTimer &deadline) {
    m_retryTimer.stop();
    writeWaiting(deadline);
    for (const Waiting &report : m_waiting)
        qCWarning(lcIncident).noquote() << "Incident report" << report.baseName << "lost: not written before exit";
    m_waiting.clear();
}

void IncidentReportWriter::writeWaiting(const QDeadlineTimer &deadline) {
    for (auto it = m_waiting.begin(); it != m_waiting.end() && !deadline.hasExpired();) {
        QString error;
        const QString path = tryWrite(*it, &error);
        if (path.isEmpty()) {
            if (!it->failed) {
                it->failed = true;
                qCWarning(lcIncident).noquote()
                    << "Incident report" << it->baseName
                    << QStringLiteral("not written yet (%1); it waits in memory and is tried again every 5 s")
                           .arg(error);
                emit notWrittenYet(it->baseName, error);
            }
            ++it;
            continue;
        }
        if (it->failed)
            qCWarning(lcIncident).noquote() << "Incident report written late:" << path;
        else
            qCInfo(lcIncident).noquote() << "Incident report:" << path;
        emit written(path);
        it = m_waiting.erase(it);
    }
    if (m_waiting.empty())
        m_retryTimer.stop();
    else if (!m_retryTimer.isActive())
        m_retryTimer.start();
}

QString IncidentReportWriter::tryWrite(const Waiting &report, QString *error) const {
    if (!QDir().mkpath(m_folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(QDir::toNativeSeparators(m_folder));
        return {};
    }
    const QDir folder(m_folder);
    QString base = folder.filePath(report.baseName);
    for (int n = 2; QFile::exists(base + QStringLiteral(".html")) || QFile::exists(base + QStringLiteral(".csv")); ++n)
        base = folder.filePath(report.baseName + QStringLiteral("-%1").arg(n));
    // Each file appears whole or not at all; the HTML last, since it is the one announced.
    QSaveFile html(base + QStringLiteral(".html"));
    QSaveFile csv(base + QStringLiteral(".csv"));
    if (!html.open(QIODevice::WriteOnly) || !csv.open(QIODevice::WriteOnly)) {
        *error = html.isOpen() ? csv.errorString() : html.errorString();
        return {};
    }
    IncidentReport::writeHtml(html, report.data);
    IncidentReport::writeCsv(csv, report.data);
    if (!csv.commit()) {
        *error = csv.errorString();
        return {};
    }
    if (!html.commit()) {
        *error = html.errorString();
        QFile::remove(csv.fileName());
        return {};
    }
    return html.fileName();
}
