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
#define UPDATER_DEBUG()                                                                            \
    if (!updaterDebugEnabled()) {                                                                  \
    } else                                                                                         \
        qDebug()
