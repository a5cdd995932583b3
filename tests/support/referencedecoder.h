#pragma once

#include <QByteArray>

class DatagramHandler;

// The datagram decoding rules written out step by step, without shortcuts: a zero byte is appended, the
// text up to the first zero is parsed as JSON, otherwise the scan walks byte by byte. Bytes at or beyond
// the datagram's end never match. The production decoder must report exactly what this one does.
void referenceDecode(const QByteArray &datagram, DatagramHandler &handler);
