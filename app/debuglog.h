#pragma once
// The tool's diagnostic lines go to Qt's debug stream (qDebug), so Qt's own
// QT_LOGGING_RULES ("*.debug=false") silences them. A silenced line is not
// even formatted: an update logs some 130,000 lines, and formatting them
// for nothing would cost about as much as the serial traffic itself.

#include <QDebug>
#include <QLoggingCategory>

inline bool updaterDebugEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

// UPDATER_DEBUG() << ...; is qDebug() << ...; that skips the formatting when
// debug output is off.
#define UPDATER_DEBUG()           \
    if (!updaterDebugEnabled()) { \
    } else                        \
        qDebug()

// One debug line made the way QDebug renders a stream of C strings and
// QString::number(..., 16) items (each item followed by a space, numbers
// quoted, the last space dropped), but built in one buffer and written as
// one string: an update writes some 130,000 of these lines.
class HexDebugLine
{
public:
    // a C string item: `qDebug() << "text"`
    HexDebugLine &text(const char *s)
    {
        while (*s)
            put(*s++);
        put(' ');
        return *this;
    }

    // a number item: `qDebug() << QString::number(value, 16)`
    HexDebugLine &hex(unsigned value)
    {
        static const char digits[] = "0123456789abcdef";
        char reversed[8];
        int n = 0;
        do {
            reversed[n++] = digits[value & 0xF];
            value >>= 4;
        } while (value != 0);
        put('"');
        while (n > 0)
            put(reversed[--n]);
        put('"');
        put(' ');
        return *this;
    }

    ~HexDebugLine()
    {
        if (m_length > 0 && m_buffer[m_length - 1] == ' ')
            --m_length;
        qDebug().noquote() << QLatin1String(m_buffer, m_length);
    }

private:
    void put(char c)
    {
        if (m_length < int(sizeof m_buffer))
            m_buffer[m_length++] = c;
    }

    char m_buffer[256];
    int m_length = 0;
};
