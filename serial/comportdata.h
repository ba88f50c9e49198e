#pragma once
// Lets a QVariant (a COM port box item's data) hold a port record.

#include "enumserialcom.h"

#include <QMetaType>

Q_DECLARE_METATYPE(QuorvexCOMLib::EnumSerialCOM::DATA)
