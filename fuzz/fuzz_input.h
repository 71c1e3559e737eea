// Turns a fuzzer's bytes into the strings and numbers a target calls the library with, and
// reports a broken property with the input that broke it.
#ifndef QUILLMOOR_FUZZ_INPUT_H
#define QUILLMOOR_FUZZ_INPUT_H

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// Byte 0 holds flags for the target. Its top bit picks how the rest is read: as UTF-8 (easy
// to write seeds in), or as raw UTF-16 code units, which reach every unit, lone surrogates
// included. The text is split at U+001F into `count` strings; missing ones are empty.
struct Input
{
    quint8 flags = 0;
    QStringList parts;
};

inline Input read(const uint8_t *data, size_t size, int count)
{
    Input input;
    QString text;
    if (size > 0) {
        input.flags = data[0];
        ++data;
        --size;
        if (input.flags & 0x80) {
            text.resize(int(size / 2));
            std::memcpy(text.data(), data, size / 2 * 2);
        } else {
            text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
        }
    }
    input.parts = text.split(QChar(0x1f), Qt::KeepEmptyParts);
    while (input.parts.size() > count) {
        // The rest stays in the last part, separators included.
        const QString last = input.parts.takeLast();
        input.parts.last() += QChar(0x1f) + last;
    }
    while (input.parts.size() < count)
        input.parts.append(QString());
    return input;
}

// Reads a 32-bit integer from the front of the data, consuming it.
inline qint32 takeInt(const uint8_t *&data, size_t &size)
{
    quint32 value = 0;
    for (int i = 0; i < 4 && size > 0; ++i, ++data, --size)
        value |= quint32(*data) << (8 * i);
    return qint32(value);
}

// The text with every unit outside printable ASCII written as \uXXXX, so that a report
// shows exactly what went in.
inline QByteArray show(const QString &text)
{
    QByteArray out;
    for (QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('\\'))
            out += char(c.unicode());
        else
            out += "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
    }
    return out;
}

[[noreturn]] inline void broken(const char *property, const QStringList &values)
{
    std::fprintf(stderr, "property broken: %s\n", property);
    for (const QString &value : values)
        std::fprintf(stderr, "  \"%s\"\n", show(value).constData());
    std::abort();
}

} // namespace fuzz

#define FUZZ_CHECK(condition, ...) \
    do { \
        if (!(condition)) \
            fuzz::broken(#condition, QStringList{__VA_ARGS__}); \
    } while (false)

#endif // QUILLMOOR_FUZZ_INPUT_H
