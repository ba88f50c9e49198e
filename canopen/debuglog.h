#pragma once
// The tool's diagnostic lines go to Qt's debug stream in its default
// category, so QT_LOGGING_RULES ("*.debug=false", "default.debug=false")
// silences them. Unlike a bare qDebug(), a silenced line is not even
// formatted: an update logs some 200,000 lines and that formatting would
// otherwise cost as much as the serial traffic itself.

#include <QDebug>
#include <QLoggingCategory>

inline const QLoggingCategory &updaterDebugCategory()
{
    return *QLoggingCategory::defaultCategory();
}

#define UPDATER_DEBUG() qCDebug(updaterDebugCategory)
