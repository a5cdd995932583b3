#include "linereader.h"

#include <cstring>

bool LineReader::nextLine(const char *&data, qint64 &size, QByteArray &line) {
    while (size > 0) {
        const char *start = data;
        const auto *lf = static_cast<const char *>(std::memchr(start, '\n', size_t(size)));
        const qint64 length = lf ? lf - start : size;  // the line's bytes here, without its LF
        const qint64 taken = lf ? length + 1 : length;
        data += taken;
        size -= taken;
        // One byte more than the limit for the CR of a line of full length.
        if (!m_dropping && m_partial.size() + length > maxLineBytes + 1) {
            m_partial.clear();
            m_dropping = true;
            ++m_dropped;
        }
        if (!m_dropping)
            m_partial.append(start, int(length));
        if (!lf)
            return false;
        if (m_dropping) {
            m_dropping = false;
            continue;
        }
        if (m_partial.endsWith('\r'))
            m_partial.chop(1);
        if (m_partial.size() > maxLineBytes) {
            m_partial.clear();
            ++m_dropped;
            continue;
        }
        line.swap(m_partial);
        m_partial.clear();
        return true;
    }
    return false;
}

void LineReader::reset() {
    m_partial.clear();
    m_dropping = false;
    m_dropped = 0;
}
