#include "transponderslistmodel.h"

#include <QDateTime>
#include <utility>

#include "limitmodes.h"
#include "net/protocol.h"
#include "valueconversion.h"

namespace {

constexpr int refreshIntervalMs = 2500;
constexpr qint64 offlineAfterMs = 5000;
constexpr qint64 removeAfterMs = 120000;
constexpr qint64 limitNotTakenAfterMs = 3000;

const QString appCommandKey = QStringLiteral("appCommand");
const QString valueKey = QStringLiteral("value");
const QString transponderIdKey = QStringLiteral("transponderId");
// A global limit that a timing feed chose says so, so that other consoles' feeds may follow it or lift it.
const QString chosenByKey = QStringLiteral("chosenBy");
const QString chosenByTimingFeed = QStringLiteral("timingFeed");

// Sets the row's mode; a mode that names a limit also sets the row's target, any other text keeps it. Returns
// whether the mode or the target changed.
bool resolveLimitMode(TransponderRow &row, const QString &mode) {
    const TransponderRow before = row;
    row.limitMode = mode;
    const auto limit = rpmByLimitMode.constFind(mode);
    if (limit != rpmByLimitMode.constEnd())
        row.targetLimitValue = limit.value();
    return row.limitMode != before.limitMode || row.targetLimitValue != before.targetLimitValue;
}

const QVector<int> &reportRoles() {
    static const QVector<int> roles{
        TranspondersListModel::RpmValueRole,  TranspondersListModel::LimitValueRole,
        TranspondersListModel::LimitOkRole,   TranspondersListModel::IsTransponderOnlineRole,
        TranspondersListModel::RssiValueRole, TranspondersListModel::TransponderIdRole,
    };
    return roles;
}

const QVector<int> &onlineRoles() {
    static const QVector<int> roles{TranspondersListModel::IsTransponderOnlineRole};
    return roles;
}

const QVector<int> &limitModeRoles() {
    static const QVector<int> roles{TranspondersListModel::LimitModeRole, TranspondersListModel::LimitOkRole};
    return roles;
}

}  // namespace

TranspondersListModel::TranspondersListModel() : TranspondersListModel(&QDateTime::currentMSecsSinceEpoch) {}

TranspondersListModel::TranspondersListModel(WallClock clock) : m_clock(std::move(clock)) {
    connect(&m_refreshTimer, &QTimer::timeout, this, &TranspondersListModel::refreshList);
    m_refreshTimer.start(refreshIntervalMs);
    m_limitCheckTimer.setSingleShot(true);
    connect(&m_limitCheckTimer, &QTimer::timeout, this, &TranspondersListModel::checkLimitsTaken);
}

TranspondersListModel::~TranspondersListModel() {
    m_refreshTimer.stop();
}

// Rows of a flat list have no children of their own.
int TranspondersListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : m_rows.size();
}

QVariant TranspondersListModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_rows.size())
        return {};
    const TransponderRow &row = m_rows.at(index.row());
    switch (role) {
        case NumRole: return row.num;
        case RpmValueRole: return row.rpmValue;
        case LimitValueRole: return row.limitValue;
        case TargetLimitValueRole: return row.targetLimitValue;
        case LimitModeRole: return row.limitMode;
        case TransponderIdRole: return row.transponderId;
        case LimitOkRole: return row.limitValue == row.targetLimitValue;
        case IsTransponderOnlineRole: return row.isTransponderOnline;
        case RssiValueRole: return row.rssiValue;
        default: return {};
    }
}

QHash<int, QByteArray> TranspondersListModel::roleNames() const {
    static const QHash<int, QByteArray> names{
        {NumRole, "num"},
        {RpmValueRole, "rpmValue"},
        {LimitValueRole, "limitValue"},
        {TargetLimitValueRole, "targetLimitValue"},
        {LimitModeRole, "limitMode"},
        {TransponderIdRole, "transponderId"},
        {LimitOkRole, "limitOk"},
        {IsTransponderOnlineRole, "isTransponderOnline"},
        {RssiValueRole, "rssiValue"},
    };
    return names;
}

void TranspondersListModel::updateTransponderState(DataExchange::TransponderState ts) {
    emit transponderReported(ts);
    const int position = m_rowById.value(ts.transponderId, -1);
    if (position < 0) {
        appendRow(ts);
        return;
    }
    TransponderRow &row = m_rows[position];
    const bool limitWasOk = row.limitValue == row.targetLimitValue;
    row.rpmValue = ts.rpmValue;
    row.limitValue = ts.limitValue;
    row.rssiValue = ts.rssiValue;
    // Repeated with every report until the transponder reports the wanted limit.
    if (ts.limitValue != row.targetLimitValue)
        emit setTransponderLimit(ts.transponderId, row.targetLimitValue);
    row.lastUpdateMs = m_clock();
    const bool wasOnline = std::exchange(row.isTransponderOnline, true);
    const QModelIndex changed = index(position);
    emit dataChanged(changed, changed, reportRoles());
    if (!wasOnline)
        emit transponderBack(row.transponderId);
    // A kart that leaves the limit it had taken is asked for it again, and timed again.
    if (limitWasOk && ts.limitValue != row.targetLimitValue)
        limitCommanded(row);
    else
        noteLimitReported(row);
}

// A new row is announced as an insertion at the end: a list view keeps its delegates and its scroll position,
// where a change of layout would make it rebuild every delegate and go back to its first row.
void TranspondersListModel::appendRow(const DataExchange::TransponderState &ts) {
    TransponderRow row;
    row.transponderId = ts.transponderId;
    row.rpmValue = ts.rpmValue;
    row.rssiValue = ts.rssiValue;
    row.limitValue = ts.limitValue;
    row.targetLimitValue = Protocol::unlimitedRpm;
    resolveLimitMode(row, m_limitMode);
    row.isTransponderOnline = true;
    row.lastUpdateMs = m_clock();
    const int position = m_rows.size();
    beginInsertRows(QModelIndex(), position, position);
    m_rowById.insert(row.transponderId, position);
    m_rows.append(row);
    endInsertRows();
    emit setTransponderLimit(row.transponderId, row.targetLimitValue);
    emit transponderOnAir(row.transponderId);
    limitCommanded(m_rows.last());
}

// Every stale row is announced offline first; then each run of adjacent rows due for removal is removed as one
// removal of rows, the last run first, so that the positions announced are those the views still hold.
void TranspondersListModel::refreshList() {
    const qint64 now = m_clock();
    bool anyDue = false;
    for (int i = 0; i < m_rows.size(); ++i) {
        TransponderRow &row = m_rows[i];
        const qint64 silentMs = now - row.lastUpdateMs;
        if (silentMs < offlineAfterMs)
            continue;
        const bool wasOnline = std::exchange(row.isTransponderOnline, false);
        const QModelIndex changed = index(i);
        emit dataChanged(changed, changed, onlineRoles());
        if (wasOnline)
            emit transponderSilent(row.transponderId);
        anyDue = anyDue || silentMs >= removeAfterMs;
    }
    if (!anyDue)
        return;
    const auto isDue = [&](int i) { return now - m_rows.at(i).lastUpdateMs >= removeAfterMs; };
    for (int last = m_rows.size() - 1; last >= 0; --last) {
        if (!isDue(last))
            continue;
        int first = last;
        while (first > 0 && isDue(first - 1))
            --first;
        QVector<qint32> removed;
        for (int i = first; i <= last; ++i)
            removed << m_rows.at(i).transponderId;
        beginRemoveRows(QModelIndex(), first, last);
        m_rows.remove(first, last - first + 1);
        endRemoveRows();
        for (const qint32 id : qAsConst(removed)) {
            forgetLimitNotTaken(id);
            emit transponderRemoved(id);
        }
        last = first;
    }
    rebuildIndex();
}

void TranspondersListModel::resetData() {
    beginResetModel();
    m_rows.clear();
    m_rowById.clear();
    endResetModel();
    if (!m_limitsNotTaken.isEmpty()) {
        m_limitsNotTaken = {};
        emit limitsNotTakenChanged(m_limitsNotTaken);
    }
}

// Times the row's limit from now, when it is one of the limit modes; a kart that already reports it has taken it.
void TranspondersListModel::limitCommanded(TransponderRow &row) {
    forgetLimitNotTaken(row.transponderId);
    row.limitCommandedMs = rpmByLimitMode.contains(row.limitMode) ? m_clock() : -1;
    noteLimitReported(row);
    if (row.limitCommandedMs >= 0 && !m_limitCheckTimer.isActive())
        m_limitCheckTimer.start(int(limitNotTakenAfterMs));
}

void TranspondersListModel::noteLimitReported(TransponderRow &row) {
    if (row.limitCommandedMs < 0 || row.limitValue != row.targetLimitValue)
        return;
    emit limitTaken(row.transponderId, row.limitMode, row.targetLimitValue, m_clock() - row.limitCommandedMs);
    row.limitCommandedMs = -1;
    forgetLimitNotTaken(row.transponderId);
}

void TranspondersListModel::forgetLimitNotTaken(qint32 transponderId) {
    if (m_limitsNotTaken.isEmpty())
        return;
    const QString key = QString::number(transponderId);
    if (!m_limitsNotTaken.contains(key))
        return;
    m_limitsNotTaken.remove(key);
    emit limitsNotTakenChanged(m_limitsNotTaken);
}

// Marks the limits pending for 3 s or more as not taken, and waits for the next one to come due.
void TranspondersListModel::checkLimitsTaken() {
    const qint64 now = m_clock();
    qint64 nextDue = -1;
    bool changed = false;
    for (const TransponderRow &row : qAsConst(m_rows)) {
        const QString key = QString::number(row.transponderId);
        if (row.limitCommandedMs < 0 || m_limitsNotTaken.contains(key))
            continue;
        const qint64 due = row.limitCommandedMs + limitNotTakenAfterMs;
        if (now >= due) {
            m_limitsNotTaken.insert(key, true);
            changed = true;
            emit limitNotTaken(row.transponderId, row.limitMode, row.targetLimitValue);
        } else if (nextDue < 0 || due < nextDue) {
            nextDue = due;
        }
    }
    if (changed)
        emit limitsNotTakenChanged(m_limitsNotTaken);
    // A wall clock set back must not leave the check waiting for longer than one period.
    if (nextDue >= 0)
        m_limitCheckTimer.start(int(qBound(qint64(1), nextDue - now, limitNotTakenAfterMs)));
}

void TranspondersListModel::rebuildIndex() {
    m_rowById.clear();
    for (int i = 0; i < m_rows.size(); ++i)
        m_rowById.insert(m_rows.at(i).transponderId, i);
}

QJsonObject TranspondersListModel::rpmLimits() const {
    QJsonObject limits;
    for (auto it = rpmByLimitMode.constBegin(); it != rpmByLimitMode.constEnd(); ++it)
        limits.insert(it.key(), it.value());
    return limits;
}

void TranspondersListModel::setLimitMode(QString val, bool updateController) {
    chooseGlobalLimit(val, {updateController ? LimitSource::Click : LimitSource::OtherConsole, {}});
}

void TranspondersListModel::chooseGlobalLimit(const QString &mode, const LimitSource &source) {
    const auto limit = rpmByLimitMode.constFind(mode);
    if (limit == rpmByLimitMode.constEnd())
        return;
    const bool updateController = source.isLocal();
    m_limitMode = mode;
    // The choice that comes back from the network changes nothing and does not restart the timing.
    QVector<int> commanded;
    for (int i = 0; i < m_rows.size(); ++i) {
        if (resolveLimitMode(m_rows[i], m_limitMode) || updateController)
            commanded << i;
    }
    emit updateTranspondersLimit(limit.value(), updateController);
    if (updateController) {
        QJsonObject command{{appCommandKey, QStringLiteral("globalRpmLimit")}, {valueKey, mode}};
        if (source.kind == LimitSource::TimingFeed)
            command.insert(chosenByKey, chosenByTimingFeed);
        emit resendCommandToApps(command);
    }
    if (source.kind != LimitSource::Click)
        emit limitModeChanged(m_limitMode);
    // Every row's mode and target may have changed; announced as a change of data so that views keep their place.
    if (!m_rows.isEmpty())
        emit dataChanged(index(0), index(m_rows.size() - 1), limitModeRoles());
    emit globalLimitApplied(mode, limit.value(), source);
    for (const int i : qAsConst(commanded))
        limitCommanded(m_rows[i]);
}

bool TranspondersListModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_rows.size() || role != LimitModeRole ||
        variantToInt(value) == -1)
        return false;
    TransponderRow &row = m_rows[index.row()];
    const QString mode = value.toString();
    resolveLimitMode(row, mode);
    emit resendCommandToApps(
        {{appCommandKey, QStringLiteral("transponderLimit")}, {transponderIdKey, row.transponderId}, {valueKey, mode}});
    emit setTransponderLimit(row.transponderId, row.targetLimitValue);
    emit dataChanged(index, index, limitModeRoles());
    emit transponderLimitApplied(row.transponderId, mode, row.targetLimitValue, {LimitSource::Click, {}});
    limitCommanded(row);
    return true;
}

void TranspondersListModel::remoteAppCommand(QJsonObject json, const QString &senderAddress, bool ownCommand) {
    const QString command = json.value(appCommandKey).toString();
    LimitSource source{LimitSource::OtherConsole, senderAddress};
    if (ownCommand)
        source.kind = LimitSource::OwnCommand;
    else if (json.value(chosenByKey).toString() == chosenByTimingFeed)
        source.kind = LimitSource::OtherConsolesFeed;
    if (command == QLatin1String("globalRpmLimit")) {
        chooseGlobalLimit(json.value(valueKey).toString(), source);
    } else if (command == QLatin1String("transponderLimit")) {
        const int transponderId = wholeJsonNumber(json.value(transponderIdKey)).value_or(0);
        if (transponderId == 0)
            return;
        const int position = m_rowById.value(transponderId, -1);
        if (position < 0)
            return;
        TransponderRow &row = m_rows[position];
        const bool changedLimit = resolveLimitMode(row, json.value(valueKey).toString());
        const QModelIndex changed = index(position);
        emit dataChanged(changed, changed, limitModeRoles());
        emit transponderLimitApplied(transponderId, row.limitMode, row.targetLimitValue, source);
        if (changedLimit)
            limitCommanded(row);
    }
}

void TranspondersListModel::loadRpmSettings(QJsonObject rpmSettings) {
    rpmByLimitMode[QStringLiteral("p25")] =
        wholeJsonNumber(rpmSettings.value(QStringLiteral("p25RpmValue"))).value_or(LimitModes::defaultP25Rpm);
    rpmByLimitMode[QStringLiteral("p50")] =
        wholeJsonNumber(rpmSettings.value(QStringLiteral("p50RpmValue"))).value_or(LimitModes::defaultP50Rpm);
}

void TranspondersListModel::updateSettings(QString settingsId, QJsonObject json) {
    if (settingsId != QLatin1String("rpmSettings"))
        return;
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        if (it.key() == QLatin1String("p25RpmValue"))
            rpmByLimitMode[QStringLiteral("p25")] =
                variantToInt(it.value().toVariant()).value_or(LimitModes::defaultP25Rpm);
        else if (it.key() == QLatin1String("p50RpmValue"))
            rpmByLimitMode[QStringLiteral("p50")] =
                variantToInt(it.value().toVariant()).value_or(LimitModes::defaultP50Rpm);
    }
    emit rpmLimitsChanged(rpmLimits());
}
