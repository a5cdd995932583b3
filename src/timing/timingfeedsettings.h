#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

// Where the timing feed comes from and what each flag does to the global limit: the group "timingFeed" of the
// per-user settings store. A limit mode is "p0", "p25", "p50", or "" for no limit.
struct TimingFeedSettings {
    static constexpr quint16 defaultPort = 50000;

    QString address;  // a host name or IPv4 address with an optional ":port"; empty: no feed
    QString onYellow = QStringLiteral("p50");
    QString onRed = QStringLiteral("p0");
    QString onFinish = QStringLiteral("p25");
    bool releaseOnGreen = true;

    // A stored limit mode that is none of the four, or a flag that is neither true nor false, loads as its default.
    static TimingFeedSettings load();
    void save() const;

    // The keys as stored; fromJson takes a missing or wrong value as its default.
    QJsonObject toJson() const;
    static TimingFeedSettings fromJson(const QJsonObject &json);
};

// A feed address taken apart.
struct FeedAddress {
    QString host;
    quint16 port = TimingFeedSettings::defaultPort;
};

// The host and port of "host", "host:port", "192.168.1.20" or "192.168.1.20:50000"; nothing for anything else (an
// empty text too). IPv4 addresses must be four decimal parts, as Qt would read "10.1" as 10.0.0.1.
std::optional<FeedAddress> parseFeedAddress(const QString &text);

// Whether the settings can hold this address: empty (no feed) or one parseFeedAddress takes.
bool isUsableFeedAddress(const QString &text);
