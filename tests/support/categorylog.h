#pragma once

#include <QStringList>
#include <QtGlobal>
#include <mutex>

// Collects the messages of one logging category, from any thread, while it lives, as "warning: text",
// "info: text" or "debug: text"; other messages go on to the handler that was there before. One at a time. A
// standard mutex, which ThreadSanitizer sees (QMutex locks through Qt's uninstrumented code).
class CategoryLog {
public:
    explicit CategoryLog(const char *category) {
        s_category = category;
        s_previous = qInstallMessageHandler(&CategoryLog::handle);
    }
    ~CategoryLog() { qInstallMessageHandler(s_previous); }

    // The messages so far, which are then forgotten.
    QStringList take() {
        std::lock_guard<std::mutex> lock(s_mutex);
        return std::exchange(s_lines, {});
    }
    int count() const {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_lines.size();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        if (!context.category || qstrcmp(context.category, s_category) != 0)
            return s_previous(type, context, message);
        static const char *const names[] = {"debug", "warning", "critical", "fatal", "info"};  // by QtMsgType
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines << QLatin1String(names[type]) + QLatin1String(": ") + message;
    }

    static inline const char *s_category = nullptr;
    static inline QtMessageHandler s_previous = nullptr;
    static inline std::mutex s_mutex;
    static inline QStringList s_lines;
};
