#pragma once

#include <QAbstractListModel>
#include <QJsonObject>
#include <QSettings>
#include <QVector>

#include "settingsidentity.h"

// The kart number registry: which kart carries which transponder, in the operator's order, rewritten to the
// settings group "transponders" ("tr0", "tr1", ...) after every change.
class TranspondersModel : public QAbstractListModel {
    Q_OBJECT

public:
    struct Item {
        QString kartNum;
        int transponderId = 0;  // 0: not set
    };

    enum Role { ItemRole = Qt::UserRole + 1 };

    explicit TranspondersModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

public slots:
    void addNewItem();
    void removeItem(int index);
    void updateData(int index, QJsonObject jsonData);

public:
    Q_INVOKABLE QString getKartNumByTransponderId(int transponderId) const;

private:
    void save();

    QVector<Item> m_items;
    QSettings m_settings{QSettings::NativeFormat, QSettings::UserScope, SettingsIdentity::organization(),
                         SettingsIdentity::application()};
};
