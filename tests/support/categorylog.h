#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>
#include <algorithm>

// Collects the messages of one logging category, from any thread, while it lives, as "warning: text" or
// "info: text"; other messages go on to the handler that was there before. One at a time.
class CategoryLog {
public:
    explicit CategoryLog(const char *category) {
        s_category = category;
        s_previous = qInstallMessageHandler(&CategoryLog::handle);
    }
    ~CategoryLog() {
        qInstallMessageHandler(s_previous);
        take();
    }
    CategoryLog(const CategoryLog &) = delete;
    CategoryLog &operator=(const CategoryLog &) = delete;

    // How many messages of a type ("warning", "info", "debug") have come since the last take(); takes none.
    int count(const QString &type) const {
        QMutexLocker lock(&s_mutex);
        const QString prefix = type + QLatin1String(": ");
        return int(std::count_if(s_lines.cbegin(), s_lines.cend(),
                                 [&](const QString &line) { return line.startsWith(prefix); }));
    }
    QStringList take() {
        QMutexLocker lock(&s_mutex);
        return std::exchange(s_lines, {});
    }
    // The messages of one type ("warning", "info", "debug"); the others are dropped.
    QStringList take(const QString &type) {
        QStringList result;
        for (const QString &line : take())
            if (line.startsWith(type + QLatin1String(": ")))
                result << line.mid(type.size() + 2);
        return result;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (!context.category || qstrcmp(context.category, s_category) != 0) {
            s_previous(type, context, message);
            return;
        }
        static const char *const names[] = {"debug", "warning", "critical", "fatal", "info"};  // by QtMsgType
        const char *name = names[type];
        QMutexLocker lock(&s_mutex);
        s_lines << QLatin1String(name) + QLatin1String(": ") + message;
    }

    static inline const char *s_category = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
};
