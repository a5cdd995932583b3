#pragma once

#include <QByteArray>

// Cuts a byte stream into lines ended by LF; a CR before the LF is removed. A line longer than maxLineBytes is
// dropped up to its end, so what is kept between calls never exceeds that size, whatever the stream holds.
class LineReader {
public:
    static constexpr int maxLineBytes = 4096;

    // Takes the bytes at data (size of them) up to the end of the next complete line and gives that line; data and
    // size move past what was taken. False when the bytes ran out first: the line's start is kept for the next call.
    bool nextLine(const char *&data, qint64 &size, QByteArray &line);

    // Lines dropped as too long since the start or the last reset, counted as soon as they pass the limit.
    int droppedLines() const { return m_dropped; }
    // Forgets a partial line and the count, for a new stream.
    void reset();

private:
    QByteArray m_partial;
    bool m_dropping = false;
    int m_dropped = 0;
};
