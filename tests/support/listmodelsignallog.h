#pragma once

#include <QJsonDocument>
#include <QStringList>

#include "models/transponderslistmodel.h"

// Records every signal of a live list model as one readable line, in emission order, so that tests can
// check arguments and the order across different signals.
class ListModelSignalLog {
public:
    explicit ListModelSignalLog(TranspondersListModel &model) {
        using M = TranspondersListModel;
        QObject::connect(&model, &M::layoutAboutToBeChanged, &m_context, [this] { lines << "layoutAboutToBeChanged"; });
        QObject::connect(&model, &M::layoutChanged, &m_context, [this] { lines << "layoutChanged"; });
        const auto logRows = [this](const char *name) {
            return [this, name](const QModelIndex &, int from, int to) {
                lines << QStringLiteral("%1 %2-%3").arg(QLatin1String(name)).arg(from).arg(to);
            };
        };
        QObject::connect(&model, &M::rowsAboutToBeInserted, &m_context, logRows("rowsAboutToBeInserted"));
        QObject::connect(&model, &M::rowsInserted, &m_context, logRows("rowsInserted"));
        QObject::connect(&model, &M::rowsAboutToBeRemoved, &m_context, logRows("rowsAboutToBeRemoved"));
        QObject::connect(&model, &M::rowsRemoved, &m_context, logRows("rowsRemoved"));
        QObject::connect(&model, &M::modelAboutToBeReset, &m_context, [this] { lines << "modelAboutToBeReset"; });
        QObject::connect(&model, &M::modelReset, &m_context, [this] { lines << "modelReset"; });
        QObject::connect(
            &model, &M::dataChanged, &m_context,
            [this](const QModelIndex &from, const QModelIndex &to, const QVector<int> &roles) {
                QStringList names;
                for (int role : roles)
                    names << QString::number(role);
                lines << QStringLiteral("dataChanged %1-%2 [%3]").arg(from.row()).arg(to.row()).arg(names.join(','));
            });
        QObject::connect(&model, &M::setTransponderLimit, &m_context, [this](int id, int limit) {
            lines << QStringLiteral("setTransponderLimit %1 %2").arg(id).arg(limit);
        });
        QObject::connect(&model, &M::updateTranspondersLimit, &m_context, [this](int limit, bool updateController) {
            lines << QStringLiteral("updateTranspondersLimit %1 %2").arg(limit).arg(updateController);
        });
        QObject::connect(&model, &M::resendCommandToApps, &m_context, [this](const QJsonObject &json) {
            lines << QStringLiteral("resendCommandToApps ") + compact(json);
        });
        QObject::connect(&model, &M::limitModeChanged, &m_context,
                         [this](const QString &mode) { lines << QStringLiteral("limitModeChanged ") + mode; });
        QObject::connect(&model, &M::rpmLimitsChanged, &m_context, [this](const QJsonObject &json) {
            lines << QStringLiteral("rpmLimitsChanged ") + compact(json);
        });
    }

    QStringList take() { return std::exchange(lines, {}); }
    QStringList filtered(const QString &prefix) const { return lines.filter(QRegularExpression("^" + prefix)); }

    QStringList lines;

private:
    static QString compact(const QJsonObject &json) {
        return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
    }

    QObject m_context;
};
