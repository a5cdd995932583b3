#pragma once

#include <QJsonDocument>
#include <QStringList>

#include "net/datagramdecoder.h"

// Records what the decoder reports as readable lines, in order.
class RecordingHandler final : public DatagramHandler {
public:
    void applicationCommand(const QJsonObject &command) override {
        events << QStringLiteral("command ") + QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
    }
    void statusFrame(quint16 globalRpmLimit) override { events << QStringLiteral("status %1").arg(globalRpmLimit); }
    void transponderFrame(const TransponderState &s) override {
        events << QStringLiteral("transponder %1 %2 %3 %4")
                      .arg(s.transponderId)
                      .arg(s.rpmValue)
                      .arg(s.limitValue)
                      .arg(s.rssiValue);
    }

    QStringList events;
};
